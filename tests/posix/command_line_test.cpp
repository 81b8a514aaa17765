// The POSIX command line: arguments joined so that the program's scanner gives them back whole.
#include <gtest/gtest.h>

#include "cmdline/cmdline.h"
#include "platform/posix/command_line.h"
#include "platform/windows_api.h"

namespace {

std::vector<std::string> ParametersOf(std::vector<std::string> argv)
{
    std::vector<char *> pointers;
    for (std::string &argument : argv)
        pointers.push_back(argument.data());
    SetCommandLineArguments(static_cast<int>(pointers.size()), pointers.data());
    std::vector<std::string> parameters;
    for (int32_t index = 0;; ++index) {
        char *parameter = ReadParameter(index);
        bool found = parameter_cursor == index + 1;
        if (found)
            parameters.push_back(parameter);
        HeapFree(GetProcessHeap(), 0, parameter);
        if (!found)
            return parameters;
    }
}

TEST(GetCommandLineA, GivesEveryArgumentBackUnchanged)
{
    struct {
        const char *name;
        std::vector<std::string> argv;
    } const cases[] = {
        {"one path", {"playonce", "cue.wav"}},
        {"no argument", {"playonce"}},
        {"path with spaces", {"playonce", "/srv/My Music/a b.wav"}},
        {"empty argument", {"playonce", ""}},
        {"empty between others", {"playonce", "a", "", "b"}},
        {"program name with a space", {"/opt/my tools/playonce", "x.wav"}},
        {"quote without a space", {"playonce", "say\"hi\".wav"}},
        {"backslashes", {"playonce", "a\\b\\", "\\\\c"}},
        {"tab, newline and 0xA0 are kept", {"playonce", "a\tb", "c\nd", "e\xA0"}},
        {"only spaces", {"playonce", "   "}},
        {"leading and trailing spaces", {"playonce", " a ", "b"}},
    };
    for (const auto &c : cases) {
        std::vector<std::string> expected(c.argv.begin() + 1, c.argv.end());
        EXPECT_EQ(ParametersOf(c.argv), expected) << c.name << ": " << GetCommandLineA();
    }
}

TEST(GetCommandLineA, KeepsTheProgramNameAsTheFirstToken)
{
    ParametersOf({"/opt/my tools/playonce", "x.wav"});
    Token name = ScanCommandLine(-1);
    EXPECT_EQ(std::string(name.start, name.length), "/opt/my tools/playonce");
}

}  // namespace
