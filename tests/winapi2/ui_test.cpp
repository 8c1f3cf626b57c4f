// MessageBoxA through the UI backends: default buttons, recording, console, selection.
#include <windows.h>
#include <winapi_ui.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using winapi::ConsoleUiBackend;
using winapi::CurrentUiBackend;
using winapi::RecordingUiBackend;
using winapi::SetUiBackend;
using winapi::StatusLine;

TEST(MessageBoxUi, DefaultButtons) {
    struct Case {
        UINT type;
        int expected;
    };
    const Case cases[] = {
        {MB_OK, IDOK},
        {MB_OK | MB_DEFBUTTON3, IDOK},  // beyond the buttons: the first
        {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
        {MB_YESNO | MB_ICONSTOP, IDYES},
        {MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION, IDNO},
        {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
        {MB_RETRYCANCEL, IDRETRY},
        {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
        {0x0F, 0},  // no such type
    };
    for (const auto& c : cases)
        EXPECT_EQ(winapi::DefaultMessageBoxButton(c.type), c.expected) << c.type;
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "x", "y", 0x0F), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(MessageBoxUi, RecordingBackendAnswersFromItsScriptAndRecords) {
    auto recorder = std::make_shared<RecordingUiBackend>();
    auto previous = SetUiBackend(recorder);
    recorder->ScriptAnswer(IDNO);

    EXPECT_EQ(MessageBoxA(nullptr, "Could not find file: /x/ZephIF.ini", "ZephIF",
                          MB_YESNO | MB_ICONSTOP),
              IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "second", nullptr, MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    CurrentUiBackend()->UpdateStatus(StatusLine{true, "Please wait", RGB(255, 255, 0)});
    CurrentUiBackend()->UpdateStatus(StatusLine{false, "Please wait", RGB(255, 255, 0)});

    auto boxes = recorder->Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "Could not find file: /x/ZephIF.ini");
    EXPECT_EQ(boxes[0].caption, "ZephIF");
    EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONSTOP);
    EXPECT_EQ(boxes[1].caption, "Error");  // Windows' caption for a null one
    auto statuses = recorder->StatusUpdates();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_TRUE(statuses[0].visible);
    EXPECT_EQ(statuses[0].text, "Please wait");
    EXPECT_EQ(statuses[0].color, RGB(255, 255, 0));
    EXPECT_FALSE(statuses[1].visible);

    SetUiBackend(previous);
}

// Runs one console box against scripted input and returns the answer and what was printed.
std::pair<int, std::string> ConsoleBox(const char* input, bool interactive, UINT type) {
    char* printed = nullptr;
    size_t printedSize = 0;
    FILE* out = open_memstream(&printed, &printedSize);
    FILE* in = fmemopen(const_cast<char*>(input), std::strlen(input) + 1, "r");
    int answer;
    {
        ConsoleUiBackend console(in, out, interactive);
        answer = console.ShowMessageBox({nullptr, "Use defaults?", "ZephIF", type});
    }
    std::fclose(in);
    std::fclose(out);
    std::string text(printed, printedSize);
    std::free(printed);
    return {answer, text};
}

TEST(MessageBoxUi, ConsoleWithoutTerminalPrintsAndTakesTheDefaultButton) {
    auto [answer, text] = ConsoleBox("y\n", false, MB_YESNO | MB_DEFBUTTON2 | MB_ICONSTOP);
    EXPECT_EQ(answer, IDNO);  // input is not read without a terminal
    EXPECT_NE(text.find("[ZephIF]"), std::string::npos);
    EXPECT_NE(text.find("Use defaults?"), std::string::npos);
    EXPECT_NE(text.find("Error"), std::string::npos);
}

TEST(MessageBoxUi, ConsoleOnATerminalAsksUntilAButtonIsChosen) {
    EXPECT_EQ(ConsoleBox("maybe\nn\n", true, MB_YESNO).first, IDNO);
    EXPECT_EQ(ConsoleBox("2\n", true, MB_YESNOCANCEL).first, IDNO);
    EXPECT_EQ(ConsoleBox("\n", true, MB_OKCANCEL | MB_DEFBUTTON2).first, IDCANCEL);
    EXPECT_EQ(ConsoleBox("", true, MB_RETRYCANCEL).first, IDRETRY);  // end of input
}

TEST(MessageBoxUi, ConsoleStatusLineInTheNearestAnsiColour) {
    char* printed = nullptr;
    size_t printedSize = 0;
    FILE* out = open_memstream(&printed, &printedSize);
    {
        ConsoleUiBackend console(stdin, out, true);
        console.UpdateStatus({true, "Expose now", RGB(0, 255, 0)});
        console.UpdateStatus({true, "Failed", RGB(255, 0, 0)});
        console.UpdateStatus({false, "Failed", RGB(255, 0, 0)});
    }
    std::fclose(out);
    std::string text(printed, printedSize);
    std::free(printed);
    EXPECT_NE(text.find("\033[102;30m Expose now "), std::string::npos);  // bright green, dark text
    EXPECT_NE(text.find("\033[101;97m Failed "), std::string::npos);      // bright red, light text
    EXPECT_EQ(text.substr(text.size() - 4), "\r\033[K");                  // hidden: line cleared
}

// A long image transfer: a log gets a line per change of text, a terminal one line redrawn.
TEST(MessageBoxUi, ConsoleTransferProgressIsOneLine) {
    const auto run = [](bool inPlace) {
        char* printed = nullptr;
        size_t printedSize = 0;
        FILE* out = open_memstream(&printed, &printedSize);
        {
            ConsoleUiBackend console(stdin, out, false, inPlace);
            console.UpdateStatus({true, "Image transfer started, please wait!", RGB(255, 255, 0)});
            for (int bytes = 9999; bytes < 80 * 9999; bytes += 9999) {
                console.UpdateStatus({true,
                                      "Image transfer in progress, received " +
                                          std::to_string(bytes) + " bytes, please wait!",
                                      RGB(255, 255, 0)});
            }
            console.UpdateStatus({true, "Image from Vantex received!", RGB(255, 255, 0)});
            console.UpdateStatus({true, "Image from Vantex received!", RGB(255, 0, 0)});
        }
        std::fclose(out);
        std::string text(printed, printedSize);
        std::free(printed);
        return text;
    };
    EXPECT_EQ(run(false),
              "status: Image transfer started, please wait! (#FFFF00)\n"
              "status: Image transfer in progress, received 9999 bytes, please wait! (#FFFF00)\n"
              "status: Image from Vantex received! (#FFFF00)\n"
              "status: Image from Vantex received! (#FF0000)\n");
    const std::string drawn = run(true);
    EXPECT_EQ(drawn.find('\n'), std::string::npos);
    EXPECT_NE(drawn.find("received 779922 bytes"), std::string::npos);
}

TEST(MessageBoxUi, EnvironmentChoosesTheBackendWhenNoneIsInstalled) {
    auto previous = SetUiBackend(nullptr);
    ASSERT_EQ(setenv("WINAPI_UI", "record", 1), 0);
    SetUiBackend(nullptr);
    auto recorder = std::dynamic_pointer_cast<RecordingUiBackend>(CurrentUiBackend());
    ASSERT_NE(recorder, nullptr);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_OKCANCEL), IDOK);
    EXPECT_EQ(recorder->Boxes().size(), 1u);

    ASSERT_EQ(setenv("WINAPI_UI", "none", 1), 0);
    SetUiBackend(nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<winapi::SilentUiBackend>(CurrentUiBackend()), nullptr);
    EXPECT_EQ(MessageBoxA(nullptr, "t", "c", MB_YESNO | MB_DEFBUTTON2), IDNO);

    unsetenv("WINAPI_UI");
    SetUiBackend(nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ConsoleUiBackend>(CurrentUiBackend()), nullptr);
    SetUiBackend(previous);
}

}  // namespace
