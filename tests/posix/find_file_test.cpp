// The POSIX directory lookups under the path probe, over a real tree of every kind of entry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "pathprobe/pathprobe.h"
#include "platform/windows_api.h"

namespace {

class Tree : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/playonce-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        Write("five.wav", "12345");
        Write("empty.wav", "");
        ASSERT_EQ(mkdir(At("music").c_str(), 0755), 0);
        Write("music/b.wav", "1234567");
        ASSERT_EQ(mkfifo(At("music/a.fifo").c_str(), 0644), 0);
        ASSERT_EQ(mkfifo(At("only.fifo").c_str(), 0644), 0);
        ASSERT_EQ(symlink("five.wav", At("link.wav").c_str()), 0);
        ASSERT_EQ(symlink("loop.b", At("loop.a").c_str()), 0);
        ASSERT_EQ(symlink("loop.a", At("loop.b").c_str()), 0);
        ASSERT_EQ(symlink("nowhere", At("dangling.wav").c_str()), 0);
        ASSERT_EQ(truncate(Write("sparse.wav", "").c_str(), 0x140000005ll), 0);
        MakeSocket("socket.wav");
    }

    void TearDown() override
    {
        std::string command = "rm -rf '" + root_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    std::string At(const std::string &name) const
    {
        return root_ + "/" + name;
    }

    std::string Write(const std::string &name, const std::string &bytes)
    {
        std::string path = At(name);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0) << path;
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        return path;
    }

    void MakeSocket(const std::string &name)
    {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", At(name).c_str());
        socket_ = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }

    std::string root_;
    int socket_ = -1;
};

TEST_F(Tree, ProbeSeesOnlyRegularFilesAndDirectories)
{
    struct {
        const char *name;
        std::string path;
        int64_t expected;
    } const cases[] = {
        {"file", At("five.wav"), 5},
        {"0-byte file", At("empty.wav"), 0},
        {"file past 4 GiB", At("sparse.wav"), 0x140000005ll},
        {"directory", At("music"), PROBE_DIRECTORY},
        {"directory with a trailing slash", At("music/"), PROBE_DIRECTORY},
        {"the tree's root", "/", PROBE_DIRECTORY},
        {"missing", At("missing.wav"), PROBE_NOT_FOUND},
        {"file with a trailing slash", At("five.wav/"), PROBE_NOT_FOUND},
        {"FIFO, never opened", At("only.fifo"), PROBE_NOT_FOUND},
        {"socket", At("socket.wav"), PROBE_NOT_FOUND},
        {"character device", "/dev/null", PROBE_NOT_FOUND},
        {"link to a file", At("link.wav"), 5},
        {"link loop", At("loop.a"), PROBE_NOT_FOUND},
        {"dangling link", At("dangling.wav"), PROBE_NOT_FOUND},
        {"pattern, first match a file", At("music/*.wav"), 7},
        {"pattern, first match a FIFO passed over", At("music/?.?*"), 7},
        {"pattern matching only a FIFO", At("only.fi?o"), PROBE_NOT_FOUND},
        {"pattern matching '.' first", At("*"), PROBE_DIRECTORY},
        {"pattern matching nothing", At("*.mp3"), PROBE_NOT_FOUND},
        {"pattern in a missing directory", At("gone/*.wav"), PROBE_NOT_FOUND},
        {"pattern with a star in the middle", At("f*e.wav"), 5},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ProbePathSize(c.path.c_str()), c.expected) << c.name << ": " << c.path;
}

TEST_F(Tree, FindFirstFileNamesTheEntryItFound)
{
    struct {
        std::string pattern;
        const char *found;
    } const cases[] = {
        {At("music/*"), "."},       {At("music/*.wav"), "b.wav"},
        {At("*.wav"), "empty.wav"},  // "dangling.wav" sorts first but leads nowhere
        {At("l*"), "link.wav"},     {At("five.wav"), "five.wav"},
    };
    for (const auto &c : cases) {
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA(c.pattern.c_str(), &data);
        ASSERT_NE(search, INVALID_HANDLE_VALUE) << c.pattern;
        EXPECT_STREQ(data.cFileName, c.found) << c.pattern;
        FindClose(search);
    }
}

}  // namespace
