// MessageBoxA and the UI backends: button tables, console rendering, recording, selection.
#include <winapi_ui.h>

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace winapi {
namespace {

constexpr const char* kUiVariable = "WINAPI_UI";
constexpr const char* kDefaultCaption = "Error";  // Windows' caption for a null one
constexpr size_t kAnswerLineChars = 64;
// The Qt backend lives in a module of its own, so that only programs that use it load Qt.
constexpr const char* kQtModule = "winapi_qtui.dll";
constexpr const char* kQtFactory = "WinapiCreateQtUiBackend";
// QCoreApplication's instance pointer, present only in a process that has loaded Qt.
constexpr const char* kQtInstanceSymbol = "_ZN16QCoreApplication4selfE";

struct ButtonSet {
    UINT type;
    std::vector<int> buttons;
};
const ButtonSet kButtonSets[] = {
    {MB_OK, {IDOK}},
    {MB_OKCANCEL, {IDOK, IDCANCEL}},
    {MB_ABORTRETRYIGNORE, {IDABORT, IDRETRY, IDIGNORE}},
    {MB_YESNOCANCEL, {IDYES, IDNO, IDCANCEL}},
    {MB_YESNO, {IDYES, IDNO}},
    {MB_RETRYCANCEL, {IDRETRY, IDCANCEL}},
    {MB_CANCELTRYCONTINUE, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}},
};

struct ButtonLabel {
    int id;
    const char* label;
    char key;  // typed to choose it; unique within every button set
};
const ButtonLabel kButtonLabels[] = {
    {IDOK, "OK", 'o'},       {IDCANCEL, "Cancel", 'c'},      {IDABORT, "Abort", 'a'},
    {IDRETRY, "Retry", 'r'}, {IDIGNORE, "Ignore", 'i'},      {IDYES, "Yes", 'y'},
    {IDNO, "No", 'n'},       {IDTRYAGAIN, "Try Again", 't'}, {IDCONTINUE, "Continue", 'o'},
};

struct IconName {
    UINT icon;
    const char* name;
};
const IconName kIconNames[] = {
    {MB_ICONHAND, "Error"},
    {MB_ICONQUESTION, "Question"},
    {MB_ICONEXCLAMATION, "Warning"},
    {MB_ICONASTERISK, "Information"},
};

// The 16 ANSI colours as xterm shows them, with their foreground SGR codes.
struct AnsiColour {
    int code;
    BYTE r, g, b;
};
const AnsiColour kAnsiColours[] = {
    {30, 0, 0, 0},       {31, 205, 0, 0},   {32, 0, 205, 0},   {33, 205, 205, 0},
    {34, 0, 0, 238},     {35, 205, 0, 205}, {36, 0, 205, 205}, {37, 229, 229, 229},
    {90, 127, 127, 127}, {91, 255, 0, 0},   {92, 0, 255, 0},   {93, 255, 255, 0},
    {94, 92, 92, 255},   {95, 255, 0, 255}, {96, 0, 255, 255}, {97, 255, 255, 255},
};
constexpr int kAnsiBackgroundOffset = 10;

const ButtonLabel& Label(int id) {
    for (const auto& label : kButtonLabels) {
        if (label.id == id)
            return label;
    }
    return kButtonLabels[0];
}

int NearestAnsiColour(COLORREF color) {
    const int r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
    const AnsiColour* best = &kAnsiColours[0];
    int bestDistance = -1;
    for (const auto& c : kAnsiColours) {
        int d = (r - c.r) * (r - c.r) + (g - c.g) * (g - c.g) + (b - c.b) * (b - c.b);
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = &c;
        }
    }
    return best->code;
}

bool IsLight(COLORREF color) {
    return GetRValue(color) * 299 + GetGValue(color) * 587 + GetBValue(color) * 114 > 128000;
}

// The text with every run of digits as one '#': progress texts differ only in their numbers.
std::string Shape(const std::string& text) {
    std::string shape;
    for (char c : text) {
        const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!digit)
            shape.push_back(c);
        else if (shape.empty() || shape.back() != '#')
            shape.push_back('#');
    }
    return shape;
}

// Columns of the terminal behind `out`; 0 when unknown.
size_t TerminalColumns(FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

std::string Describe(const MessageBoxCall& box) {
    std::string head = "[" + box.caption + "]";
    for (const auto& icon : kIconNames) {
        if ((box.type & MB_ICONMASK) == icon.icon)
            head += std::string(" (") + icon.name + ")";
    }
    return head + " " + box.text;
}

// Chooses a button from a typed answer: its key letter or its number; empty means default.
int ParseAnswer(const std::string& answer, const std::vector<int>& buttons, int fallback) {
    std::string a;
    for (char c : answer) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            a.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    if (a.empty())
        return fallback;
    if (a.size() == 1 && a[0] >= '1' && a[0] < '1' + static_cast<int>(buttons.size()))
        return buttons[static_cast<size_t>(a[0] - '1')];
    for (int id : buttons) {
        std::string label = Label(id).label;
        for (auto& c : label)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (a == label || (a.size() == 1 && a[0] == Label(id).key))
            return id;
    }
    return 0;
}

// Whether the process already runs a Qt application (whose GUI thread the backend would use).
bool QtApplicationRuns() {
    void* self = ::dlsym(RTLD_DEFAULT, kQtInstanceSymbol);
    return self && *static_cast<void**>(self) != nullptr;
}

// The Qt backend from its module; null when the module or a display is missing.
std::shared_ptr<UiBackend> LoadQtBackend() {
    HMODULE module = LoadLibraryA(kQtModule);
    if (!module)
        return nullptr;
    // The module stays loaded: its windows and GUI thread live as long as the process.
    using Factory = UiBackend* (*)();
    auto factory =
        reinterpret_cast<Factory>(reinterpret_cast<void*>(GetProcAddress(module, kQtFactory)));
    UiBackend* backend = factory ? factory() : nullptr;
    return std::shared_ptr<UiBackend>(backend);
}

struct Selection {
    std::mutex lock;
    std::shared_ptr<UiBackend> installed;
    std::shared_ptr<UiBackend> fromEnvironment;
};

Selection& Selected() {
    static auto* selection = new Selection;
    return *selection;
}

}  // namespace

std::vector<int> MessageBoxButtons(UINT type) {
    for (const auto& set : kButtonSets) {
        if (set.type == (type & MB_TYPEMASK))
            return set.buttons;
    }
    return {};
}

int DefaultMessageBoxButton(UINT type) {
    auto buttons = MessageBoxButtons(type);
    if (buttons.empty())
        return 0;
    size_t index = (type & MB_DEFMASK) >> 8;
    return index < buttons.size() ? buttons[index] : buttons[0];
}

ConsoleUiBackend::ConsoleUiBackend()
    : ConsoleUiBackend(stdin, stderr, ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO),
                       ::isatty(STDERR_FILENO)) {}

ConsoleUiBackend::ConsoleUiBackend(FILE* in, FILE* out, bool interactive)
    : ConsoleUiBackend(in, out, interactive, interactive) {}

ConsoleUiBackend::ConsoleUiBackend(FILE* in, FILE* out, bool interactive, bool inPlace)
    : in_(in), out_(out), interactive_(interactive), inPlace_(inPlace) {}

void ConsoleUiBackend::EndStatusLineLocked() {
    if (statusOnScreen_)
        std::fputc('\n', out_);
    statusOnScreen_ = false;
}

int ConsoleUiBackend::ShowMessageBox(const MessageBoxCall& box) {
    std::lock_guard<std::mutex> guard(lock_);
    EndStatusLineLocked();
    const auto buttons = MessageBoxButtons(box.type);
    const int fallback = DefaultMessageBoxButton(box.type);
    std::fprintf(out_, "%s\n", Describe(box).c_str());
    if (!interactive_) {
        std::fprintf(out_, "  -> %s (default button, no terminal)\n", Label(fallback).label);
        std::fflush(out_);
        return fallback;
    }
    for (;;) {
        std::string prompt = " ";
        for (size_t i = 0; i < buttons.size(); ++i)
            prompt += " " + std::to_string(i + 1) + ") " + Label(buttons[i]).label;
        std::fprintf(out_, "%s  [Enter = %s]: ", prompt.c_str(), Label(fallback).label);
        std::fflush(out_);
        char line[kAnswerLineChars];
        if (!std::fgets(line, sizeof line, in_)) {
            std::fprintf(out_, "\n  -> %s (end of input)\n", Label(fallback).label);
            return fallback;
        }
        if (int id = ParseAnswer(line, buttons, fallback))
            return id;
    }
}

void ConsoleUiBackend::UpdateStatus(const StatusLine& status) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!inPlace_) {
        // A log gets one plain line per visible change of text or colour, nothing for hiding,
        // for a window still without text, or for a count that moves on.
        if (status.visible && !status.text.empty() &&
            (!last_.visible || Shape(status.text) != Shape(lastPrinted_.text) ||
             status.color != lastPrinted_.color)) {
            std::fprintf(out_, "status: %s (#%02X%02X%02X)\n", status.text.c_str(),
                         GetRValue(status.color), GetGValue(status.color), GetBValue(status.color));
            lastPrinted_ = status;
        }
    } else if (status.visible) {
        // A line longer than the terminal would wrap, and the carriage return would then
        // redraw only its last part.
        std::string text = status.text;
        const size_t columns = TerminalColumns(out_);
        if (columns > 3 && text.size() + 2 > columns - 1)
            text.resize(columns - 3);
        std::fprintf(out_, "\r\033[%d;%dm %s \033[0m\033[K",
                     NearestAnsiColour(status.color) + kAnsiBackgroundOffset,
                     IsLight(status.color) ? 30 : 97, text.c_str());
        statusOnScreen_ = true;
    } else if (statusOnScreen_) {
        std::fputs("\r\033[K", out_);
        statusOnScreen_ = false;
    }
    std::fflush(out_);
    last_ = status;
}

void RecordingUiBackend::ScriptAnswer(int buttonId) {
    std::lock_guard<std::mutex> guard(lock_);
    answers_.push_back(buttonId);
}

std::vector<MessageBoxCall> RecordingUiBackend::Boxes() const {
    std::lock_guard<std::mutex> guard(lock_);
    return boxes_;
}

std::vector<StatusLine> RecordingUiBackend::StatusUpdates() const {
    std::lock_guard<std::mutex> guard(lock_);
    return statuses_;
}

void RecordingUiBackend::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    answers_.clear();
    boxes_.clear();
    statuses_.clear();
}

int RecordingUiBackend::ShowMessageBox(const MessageBoxCall& box) {
    std::lock_guard<std::mutex> guard(lock_);
    boxes_.push_back(box);
    if (answers_.empty())
        return DefaultMessageBoxButton(box.type);
    int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void RecordingUiBackend::UpdateStatus(const StatusLine& status) {
    std::lock_guard<std::mutex> guard(lock_);
    statuses_.push_back(status);
}

int SilentUiBackend::ShowMessageBox(const MessageBoxCall& box) {
    return DefaultMessageBoxButton(box.type);
}

std::shared_ptr<UiBackend> SetUiBackend(std::shared_ptr<UiBackend> backend) {
    Selection& s = Selected();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!backend)
        s.fromEnvironment.reset();  // read WINAPI_UI afresh next time
    std::swap(s.installed, backend);
    return backend;
}

std::shared_ptr<UiBackend> CurrentUiBackend() {
    Selection& s = Selected();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.installed)
        return s.installed;
    if (!s.fromEnvironment) {
        const char* choice = std::getenv(kUiVariable);
        std::string name = choice ? choice : "";
        if (name == "record") {
            s.fromEnvironment = std::make_shared<RecordingUiBackend>();
        } else if (name == "none") {
            s.fromEnvironment = std::make_shared<SilentUiBackend>();
        } else if (name == "qt" || (name.empty() && QtApplicationRuns())) {
            s.fromEnvironment = LoadQtBackend();
            if (!s.fromEnvironment) {
                if (name == "qt")
                    std::fprintf(stderr,
                                 "WINAPI_UI=qt: no Qt backend (module %s or a display "
                                 "missing); using the console\n",
                                 kQtModule);
                s.fromEnvironment = std::make_shared<ConsoleUiBackend>();
            }
        } else {
            s.fromEnvironment = std::make_shared<ConsoleUiBackend>();
        }
    }
    return s.fromEnvironment;
}

}  // namespace winapi

using namespace winapi;

extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    if (MessageBoxButtons(uType).empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    MessageBoxCall box;
    box.owner = hWnd;
    box.text = lpText ? lpText : "";
    box.caption = lpCaption ? lpCaption : kDefaultCaption;
    box.type = uType;
    return CurrentUiBackend()->ShowMessageBox(box);
}
