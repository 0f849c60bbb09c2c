// Loading the firmware file: what is kept and what is said.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "brisk.h"

namespace {

class FirmwareFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/brisk_fw_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string file(const char *name, const std::string &content)
    {
        const std::string path = dir + "/" + name;
        FILE *f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return path;
    }
    struct result {
        int rc;
        std::string out;
        std::string err;
    };
    result load(const std::string &path, int flags)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = load_firmware_file(path.c_str(), &image, flags);
        result r{rc, "", ""};
        r.err = testing::internal::GetCapturedStderr();
        r.out = testing::internal::GetCapturedStdout();
        return r;
    }

    std::string dir;
    firmware_image image;
};

TEST_F(FirmwareFile, QuietLoadKeepsBytesSizeAndName)
{
    const std::string content("\x00\x01\xFFmicrocode\n\x00", 14);
    const std::string path = file("image.bin", content);
    image.converted = 1;
    const result r = load(path, 0);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(image.file_status.st_size, 14);
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), content);
    EXPECT_EQ(image.data.capacity(), content.size());
    EXPECT_STREQ(image.path, path.c_str());
    EXPECT_EQ(image.converted, 0);
}

TEST_F(FirmwareFile, EitherFlagAnnouncesTheFileAndItsSize)
{
    const std::string path = file("image.bin", "12345");
    for (int flags : {1, 2, 3}) {
        const result r = load(path, flags);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.out, "Opening firmware file: " + path + "\nFile " + path +
                             " found, size 5 bytes\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(FirmwareFile, SecondLoadReplacesTheFirst)
{
    ASSERT_EQ(load(file("a.bin", std::string(5000, 'a')), 0).rc, 0);
    const std::string second = file("b.bin", "bb");
    ASSERT_EQ(load(second, 0).rc, 0);
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), "bb");
    EXPECT_EQ(image.file_status.st_size, 2);
    EXPECT_STREQ(image.path, second.c_str());
}

TEST_F(FirmwareFile, Refusals)
{
    const std::string missing = dir + "/missing.bin";
    EXPECT_EQ(load(missing, 0).err, "firmware file stat failed: No such file or directory\n");
    const result verbose = load(missing, OPT_VERBOSE);
    EXPECT_EQ(verbose.rc, -1);
    EXPECT_EQ(verbose.out, "Opening firmware file: " + missing + "\n");

    const std::string empty = file("empty.bin", "");
    const result e = load(empty, 0);
    EXPECT_EQ(e.rc, -1);
    EXPECT_EQ(e.err, "firmware file " + empty + " is empty\n");
    EXPECT_EQ(e.out, "");
    EXPECT_EQ(load(empty, OPT_DEBUG).out,
              "Opening firmware file: " + empty + "\nFile " + empty + " found, size 0 bytes\n");

    // A socket passes stat but cannot be opened, even by the super-user.
    const std::string sock = dir + "/socket";
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const result o = load(sock, 0);
    close(s);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "firmware file open failed: No such device or address\n");

    // A directory opens but does not read.
    const std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    struct stat st;
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    if (st.st_size > 0) {
        const result d = load(sub, 0);
        EXPECT_EQ(d.rc, -1);
        EXPECT_EQ(d.err, "Read of firmware file failed Is a directory\n");
    }
}

TEST_F(FirmwareFile, NameLengthLimit)
{
    // 1023 characters still fit: that name simply does not exist.
    const std::string fits = dir + "/" + std::string(1023 - dir.size() - 1, 'n');
    ASSERT_EQ(fits.size(), 1023u);
    EXPECT_EQ(load(fits, 0).err, "firmware file stat failed: File name too long\n");

    const std::string longer = fits + "x";
    const result r = load(longer, OPT_VERBOSE);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "firmware file name too long (1024 characters, at most 1023)\n");
    EXPECT_EQ(r.out, "");
}

} // namespace
