// The path probe over a fake file system: what it looks up, and what it makes of the answers.
#include <gtest/gtest.h>

#include "pathprobe/pathprobe.h"
#include "tests/unit/fake_platform.h"

namespace {

constexpr DWORD kFile = 0x20;  // FILE_ATTRIBUTE_ARCHIVE: an ordinary file
constexpr DWORD kDirectory = FILE_ATTRIBUTE_DIRECTORY;

const std::string kLongPath = "D:\\" + std::string(297, 'a');  // 300 bytes
const std::string kLongPathCut = kLongPath.substr(0, 260);

void MakeWorld()
{
    fake::Reset();
    fake::world.entries = {
        {"D:\\Music", {kDirectory, 0}},
        {"D:\\Music\\a.mp3", {kFile, 1234}},
        {"D:\\empty.wav", {kFile, 0}},
        {"D:\\big.wav", {kFile, 0x140000000ull}},
        {"D:\\Music\\*.mp3", {kFile, 1234}},
        {"D:\\*", {kDirectory, 0}},
        {"C:x", {kFile, 10}},
        {kLongPathCut, {kFile, 77}},
    };
    fake::world.attributes = {
        {"\\\\server\\share", kDirectory},
        {"\\\\server\\share\\song.mp3", kFile},
        {"..\\up.mp3", kFile},
        {"..\\up", kDirectory},
        {"D:\\only-attributes.mp3", kFile},
    };
    fake::world.drives = {"C:\\", "\\\\nas\\music"};
}

struct ProbeCase {
    const char *name;
    const char *path;
    int64_t expected;
    std::vector<std::string> lookups;
};

const ProbeCase kProbes[] = {
    {"null", nullptr, PROBE_NOT_FOUND, {}},
    {"empty", "", PROBE_NOT_FOUND, {}},
    {"file", "D:\\Music\\a.mp3", 1234, {"FindFirstFileA(D:\\Music\\a.mp3)", "FindClose()"}},
    {"0-byte file", "D:\\empty.wav", 0, {"FindFirstFileA(D:\\empty.wav)", "FindClose()"}},
    {"file above 4 GiB",
     "D:\\big.wav",
     0x140000000ll,
     {"FindFirstFileA(D:\\big.wav)", "FindClose()"}},
    {"missing", "D:\\missing.mp3", PROBE_NOT_FOUND, {"FindFirstFileA(D:\\missing.mp3)"}},
    {"found by attributes only, ordinary path",
     "D:\\only-attributes.mp3",
     PROBE_NOT_FOUND,
     {"FindFirstFileA(D:\\only-attributes.mp3)"}},
    {"directory", "D:\\Music", PROBE_DIRECTORY, {"FindFirstFileA(D:\\Music)", "FindClose()"}},
    {"directory, trailing backslash",
     "D:\\Music\\",
     PROBE_DIRECTORY,
     {"FindFirstFileA(D:\\Music)", "FindClose()"}},
    {"directory, trailing backslashes",
     "D:\\Music\\\\\\",
     PROBE_DIRECTORY,
     {"FindFirstFileA(D:\\Music)", "FindClose()"}},
    {"drive letter", "C:", PROBE_DIRECTORY, {"GetDriveTypeA(C:\\)"}},
    {"drive root", "C:\\", PROBE_DIRECTORY, {"GetDriveTypeA(C:\\)"}},
    {"drive letter with no drive", "Q:", PROBE_NOT_FOUND, {"GetDriveTypeA(Q:\\)"}},
    {"drive-relative name goes by drive type alone",
     "C:x",
     PROBE_NOT_FOUND,
     {"GetDriveTypeA(C:x)"}},
    {"colon not second", "ab:", PROBE_NOT_FOUND, {"FindFirstFileA(ab:)"}},
    {"drive root with two backslashes is no drive form",
     "C:\\\\",
     PROBE_NOT_FOUND,
     {"FindFirstFileA(C:)"}},
    {"backslash only", "\\", PROBE_NOT_FOUND, {"FindFirstFileA()"}},
    {"backslashes only", "\\\\\\\\", PROBE_NOT_FOUND, {"FindFirstFileA()"}},
    {"wildcard, first match a file",
     "D:\\Music\\*.mp3",
     1234,
     {"FindFirstFileA(D:\\Music\\*.mp3)", "FindClose()"}},
    {"wildcard, first match a directory",
     "D:\\*",
     PROBE_DIRECTORY,
     {"FindFirstFileA(D:\\*)", "FindClose()"}},
    {"share root",
     "\\\\server\\share\\",
     PROBE_DIRECTORY,
     {"FindFirstFileA(\\\\server\\share)", "GetFileAttributesA(\\\\server\\share)"}},
    {"file on a share seen only by attributes",
     "\\\\server\\share\\song.mp3",
     PROBE_NOT_FOUND,
     {"FindFirstFileA(\\\\server\\share\\song.mp3)",
      "GetFileAttributesA(\\\\server\\share\\song.mp3)"}},
    {"share with no attributes but a drive type",
     "\\\\nas\\music",
     PROBE_DIRECTORY,
     {"FindFirstFileA(\\\\nas\\music)", "GetFileAttributesA(\\\\nas\\music)",
      "GetDriveTypeA(\\\\nas\\music)"}},
    {"share that is not there",
     "\\\\gone\\x",
     PROBE_NOT_FOUND,
     {"FindFirstFileA(\\\\gone\\x)", "GetFileAttributesA(\\\\gone\\x)",
      "GetDriveTypeA(\\\\gone\\x)"}},
    {"parent path to a file",
     "..\\up.mp3",
     PROBE_NOT_FOUND,
     {"FindFirstFileA(..\\up.mp3)", "GetFileAttributesA(..\\up.mp3)"}},
    {"parent path to a directory",
     "..\\up",
     PROBE_DIRECTORY,
     {"FindFirstFileA(..\\up)", "GetFileAttributesA(..\\up)"}},
    {"single dot is not a parent path", ".\\gone", PROBE_NOT_FOUND, {"FindFirstFileA(.\\gone)"}},
    {"longer than 260 bytes is looked up cut",
     kLongPath.c_str(),
     77,
     {"FindFirstFileA(" + kLongPathCut + ")", "FindClose()"}},
};

TEST(ProbePathSize, ClassifiesEveryKindOfPath)
{
    for (const ProbeCase &c : kProbes) {
        MakeWorld();
        std::string before = c.path ? c.path : "";
        EXPECT_EQ(ProbePathSize(c.path), c.expected) << c.name;
        EXPECT_EQ(fake::calls, c.lookups) << c.name;
        EXPECT_EQ(fake::open_searches, 0) << c.name << ": search left open";
        if (c.path) {
            EXPECT_EQ(before, c.path) << c.name << ": the caller's string was changed";
        }
    }
}

}  // namespace
