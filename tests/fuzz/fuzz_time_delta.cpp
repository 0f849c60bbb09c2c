// time_delta on any two texts and any unit.
//
// Input: unit byte (signed), the start text up to a zero byte, the end text.
#include <cmath>
#include <string>

#include "generic_functions.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::input in{data, size};
    const int unit = static_cast<int8_t>(in.byte());
    const std::string start = in.text();
    const std::string end = in.rest();
    // c_str() ends each text where the input has its first zero byte.
    const double result = time_delta(start.c_str(), end.c_str(), unit);
    FUZZ_CHECK(result == -1.0 || std::isfinite(result));
    if (unit < TD_DAYS || unit > TD_SECONDS)
        FUZZ_CHECK(result == -1.0);
    return 0;
}
