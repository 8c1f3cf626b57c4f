// Private profile (INI) files: GetPrivateProfileStringA/IntA and WritePrivateProfileStringA.
#include "handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <strings.h>
#include <vector>

namespace winapi {
namespace {

// Where a profile name without a directory lives (Windows: the Windows directory).
constexpr const char* kWindowsDirVariable = "WINAPI_WINDOWS_DIR";
constexpr const char* kDefaultProfileName = "win.ini";  // what a null file name means
constexpr const char* kNewFileLineEnd = "\r\n";         // as Windows writes profiles

// Windows serialises profile access within a process; so do we.
std::mutex& ProfileLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::string ResolvePath(LPCSTR fileName) {
    std::string path = fileName ? fileName : kDefaultProfileName;
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.find('/') == std::string::npos) {
        const char* dir = std::getenv(kWindowsDirVariable);
        path = std::string(dir && *dir ? dir : ".") + "/" + path;
    }
    return path;
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool SameName(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

enum class LineKind { kBlank, kComment, kSection, kEntry };

// One line of the file as read, and what it means.
struct Line {
    std::string text;  // without its line end
    LineKind kind = LineKind::kBlank;
    std::string name;   // section or key name, trimmed
    std::string value;  // entry value, trimmed and unquoted
};

Line Classify(std::string text) {
    Line line;
    line.text = std::move(text);
    std::string t = Trim(line.text);
    if (t.empty())
        return line;
    if (t[0] == ';') {
        line.kind = LineKind::kComment;
    } else if (t[0] == '[') {
        line.kind = LineKind::kSection;
        size_t close = t.find(']');
        line.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    } else {
        line.kind = LineKind::kEntry;
        size_t eq = t.find('=');
        line.name = Trim(t.substr(0, eq));
        if (eq != std::string::npos) {
            std::string v = Trim(t.substr(eq + 1));
            // Windows drops one pair of matching quotes around a value.
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            line.value = std::move(v);
        }
    }
    return line;
}

struct Profile {
    bool exists = false;
    std::string lineEnd = kNewFileLineEnd;
    std::vector<Line> lines;

    // [begin, end) of the lines of the first section with this name, header included.
    std::optional<std::pair<size_t, size_t>> Section(const std::string& name) const {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].kind != LineKind::kSection || !SameName(lines[i].name, name))
                continue;
            size_t end = i + 1;
            while (end < lines.size() && lines[end].kind != LineKind::kSection)
                ++end;
            return std::make_pair(i, end);
        }
        return std::nullopt;
    }
    std::optional<size_t> Entry(const std::string& section, const std::string& key) const {
        auto range = Section(section);
        if (!range)
            return std::nullopt;
        for (size_t i = range->first + 1; i < range->second; ++i) {
            if (lines[i].kind == LineKind::kEntry && SameName(lines[i].name, key))
                return i;
        }
        return std::nullopt;
    }
};

Profile Load(const std::string& path) {
    Profile profile;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return profile;
    profile.exists = true;
    std::string text;
    bool first = true;
    while (std::getline(in, text)) {
        bool crlf = !text.empty() && text.back() == '\r';
        if (crlf)
            text.pop_back();
        if (first)
            profile.lineEnd = crlf ? "\r\n" : "\n";  // keep the file's own style
        first = false;
        profile.lines.push_back(Classify(std::move(text)));
    }
    return profile;
}

// Writes through a temporary file and a rename, so a reader never sees half a file.
DWORD Save(const std::string& path, const Profile& profile) {
    std::string data;
    for (const Line& line : profile.lines)
        data += line.text + profile.lineEnd;
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
    struct stat st {};
    mode_t mode = 0666 & ~[] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
    }();
    if (::stat(path.c_str(), &st) == 0)
        mode = st.st_mode & 07777;
    bool ok = ::fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return Win32FromErrno(err);
    }
    return ERROR_SUCCESS;
}

DWORD CopyString(const std::string& s, LPSTR buffer, DWORD size) {
    size_t n = std::min<size_t>(s.size(), size - 1);
    std::memcpy(buffer, s.data(), n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}

// A double-null-terminated list; when it does not fit, Windows truncates it, still ends it
// with two nulls and returns size - 2.
DWORD CopyList(const std::vector<std::string>& names, LPSTR buffer, DWORD size) {
    std::string list;
    for (const auto& name : names)
        list.append(name).push_back('\0');
    if (list.size() + 1 <= size) {
        std::memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        if (list.empty() && size > 1)
            buffer[1] = '\0';
        return static_cast<DWORD>(list.size());
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    std::memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

std::vector<std::string> SectionNames(const Profile& profile) {
    std::vector<std::string> names;
    for (const Line& line : profile.lines) {
        if (line.kind != LineKind::kSection)
            continue;
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, line.name); }))
            names.push_back(line.name);
    }
    return names;
}

std::vector<std::string> KeyNames(const Profile& profile, const std::string& section) {
    std::vector<std::string> names;
    auto range = profile.Section(section);
    if (!range)
        return names;
    for (size_t i = range->first + 1; i < range->second; ++i) {
        const Line& line = profile.lines[i];
        if (line.kind == LineKind::kEntry &&
            std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, line.name); }))
            names.push_back(line.name);
    }
    return names;
}

// A line end or an '=' in a name, or a line end in a value, would write other entries than
// the caller asked for; such writes are refused.
bool SafeToWrite(LPCSTR section, LPCSTR key, LPCSTR value) {
    auto has = [](LPCSTR s, const char* chars) { return s && std::strpbrk(s, chars) != nullptr; };
    return !has(section, "\r\n]") && !has(key, "\r\n=") && !has(value, "\r\n") &&
           !(key && Trim(key).empty());
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
    if (!lpReturnedString || nSize == 0)
        return 0;
    std::lock_guard<std::mutex> guard(ProfileLock());
    Profile profile = Load(ResolvePath(lpFileName));
    if (!profile.exists)
        SetLastError(ERROR_FILE_NOT_FOUND);
    if (!lpAppName)
        return CopyList(SectionNames(profile), lpReturnedString, nSize);
    if (!lpKeyName)
        return CopyList(KeyNames(profile, lpAppName), lpReturnedString, nSize);
    if (auto entry = profile.Entry(lpAppName, lpKeyName)) {
        SetLastError(ERROR_SUCCESS);
        return CopyString(profile.lines[*entry].value, lpReturnedString, nSize);
    }
    // The default loses its trailing blanks, as on Windows.
    std::string fallback = lpDefault ? lpDefault : "";
    fallback.erase(fallback.find_last_not_of(' ') + 1);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return CopyString(fallback, lpReturnedString, nSize);
}

UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                  LPCSTR lpFileName) {
    if (!lpAppName || !lpKeyName)
        return static_cast<UINT>(nDefault);
    std::string value;
    {
        std::lock_guard<std::mutex> guard(ProfileLock());
        Profile profile = Load(ResolvePath(lpFileName));
        auto entry = profile.Entry(lpAppName, lpKeyName);
        if (!entry)
            return static_cast<UINT>(nDefault);
        value = profile.lines[*entry].value;
    }
    if (value.empty())
        return static_cast<UINT>(nDefault);
    // Leading decimal digits after an optional sign; anything else ends the number, no digits
    // give 0. Overflow wraps as the system's conversion does.
    size_t i = 0;
    bool negative = false;
    if (value[i] == '-' || value[i] == '+')
        negative = value[i++] == '-';
    uint32_t number = 0;
    for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i)
        number = number * 10u + static_cast<uint32_t>(value[i] - '0');
    return negative ? 0u - number : number;
}

BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
    if (!lpAppName) {
        // All null asks to flush a cache we do not keep.
        if (!lpKeyName && !lpString)
            return TRUE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!SafeToWrite(lpAppName, lpKeyName, lpString)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(ProfileLock());
    const std::string path = ResolvePath(lpFileName);
    Profile profile = Load(path);
    const std::string section = Trim(lpAppName);

    if (!lpKeyName) {  // delete every section of that name
        bool changed = false;
        while (auto range = profile.Section(section)) {
            profile.lines.erase(profile.lines.begin() + static_cast<ptrdiff_t>(range->first),
                                profile.lines.begin() + static_cast<ptrdiff_t>(range->second));
            changed = true;
        }
        DWORD error = changed ? Save(path, profile) : ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
            SetLastError(error);
        return error == ERROR_SUCCESS;
    }

    const std::string key = Trim(lpKeyName);
    auto entry = profile.Entry(section, key);
    if (!lpString) {  // delete the key
        if (!entry)
            return TRUE;
        profile.lines.erase(profile.lines.begin() + static_cast<ptrdiff_t>(*entry));
    } else if (entry) {
        Line& line = profile.lines[*entry];
        line = Classify(line.name + "=" + lpString);
    } else {
        auto range = profile.Section(section);
        if (!range) {
            if (!profile.lines.empty() && profile.lines.back().kind != LineKind::kBlank)
                profile.lines.push_back(Classify(""));
            profile.lines.push_back(Classify("[" + section + "]"));
            range = std::make_pair(profile.lines.size() - 1, profile.lines.size());
        }
        // After the section's last non-blank line, so blank separators stay between sections.
        size_t at = range->second;
        while (at > range->first + 1 && profile.lines[at - 1].kind == LineKind::kBlank)
            --at;
        profile.lines.insert(profile.lines.begin() + static_cast<ptrdiff_t>(at),
                             Classify(key + "=" + lpString));
    }
    DWORD error = Save(path, profile);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
