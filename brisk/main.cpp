#include "brisk.h"

int main(int argc, char **argv)
{
    return brisk_main(argc, argv);
}
