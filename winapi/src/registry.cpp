// The registry: HKEY_CLASSES_ROOT and HKEY_CURRENT_USER kept in one text file, reread and
// rewritten under a file lock on every call so that processes share it.
#include "handles.h"

#include <winreg.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace winapi {
namespace {

constexpr const char* kRegistryVariable = "WINAPI_REGISTRY";
constexpr const char* kFileHeader = "WINAPI-REGISTRY 1";
constexpr size_t kMaxKeyNameChars = 255;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct Value {
    std::string name;  // as written
    DWORD type = REG_SZ;
    std::string data;  // raw bytes (REG_SZ: with its terminating zero)
};

struct Key {
    std::string name;                     // as written
    std::map<std::string, Key> subkeys;   // by lower-case name
    std::map<std::string, Value> values;  // by lower-case name; "" is the default value
};

struct Store {
    Key roots[2];  // HKEY_CLASSES_ROOT, HKEY_CURRENT_USER
};

const char* const kRootNames[2] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER"};

std::mutex& StoreLock() {
    static auto* m = new std::mutex;
    return *m;
}

std::string StorePath() {
    if (const char* env = std::getenv(kRegistryVariable); env && *env)
        return env;
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.local/share";
    else
        base = "/tmp";
    return base + "/winapi/registry.reg";
}

void MakeParentDirectories(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Reads a quoted text at `at`; false when malformed.
bool Unquote(const std::string& line, size_t& at, std::string& out) {
    if (at >= line.size() || line[at] != '"')
        return false;
    ++at;
    out.clear();
    while (at < line.size() && line[at] != '"') {
        char c = line[at++];
        if (c == '\\') {
            if (at >= line.size())
                return false;
            char e = line[at++];
            if (e == 'x') {
                if (at + 2 > line.size())
                    return false;
                out += static_cast<char>(std::strtol(line.substr(at, 2).c_str(), nullptr, 16));
                at += 2;
            } else {
                out += e;
            }
        } else {
            out += c;
        }
    }
    if (at >= line.size())
        return false;
    ++at;
    return true;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        out += buf;
    }
    return out;
}

void WriteKey(std::ostream& out, const std::string& path, const Key& key) {
    out << "[" << path << "]\n";
    for (const auto& [lower, value] : key.values)
        out << Quote(value.name) << "=" << value.type << ":" << Hex(value.data) << "\n";
    for (const auto& [lower, sub] : key.subkeys)
        WriteKey(out, path + "\\" + sub.name, sub);
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '\\') {
            if (!part.empty())
                parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty())
        parts.push_back(part);
    return parts;
}

Key* Walk(Key& root, const std::vector<std::string>& parts, bool create, bool* created = nullptr) {
    Key* key = &root;
    for (const auto& part : parts) {
        auto it = key->subkeys.find(Lower(part));
        if (it == key->subkeys.end()) {
            if (!create)
                return nullptr;
            Key fresh;
            fresh.name = part;
            it = key->subkeys.emplace(Lower(part), std::move(fresh)).first;
            if (created)
                *created = true;
        }
        key = &it->second;
    }
    return key;
}

bool Parse(std::istream& in, Store& store) {
    std::string line;
    if (!std::getline(in, line) || line != kFileHeader)
        return false;
    Key* current = nullptr;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (line.front() == '[') {
            if (line.back() != ']')
                return false;
            auto parts = SplitPath(line.substr(1, line.size() - 2));
            if (parts.empty())
                return false;
            int root = parts[0] == kRootNames[0] ? 0 : parts[0] == kRootNames[1] ? 1 : -1;
            if (root < 0)
                return false;
            parts.erase(parts.begin());
            current = Walk(store.roots[root], parts, true);
            continue;
        }
        if (!current)
            return false;
        size_t at = 0;
        Value value;
        if (!Unquote(line, at, value.name) || at >= line.size() || line[at] != '=')
            return false;
        size_t colon = line.find(':', at);
        if (colon == std::string::npos)
            return false;
        value.type = static_cast<DWORD>(std::strtoul(line.c_str() + at + 1, nullptr, 10));
        std::string hex = line.substr(colon + 1);
        if (hex.size() % 2)
            return false;
        for (size_t i = 0; i < hex.size(); i += 2)
            value.data += static_cast<char>(std::strtol(hex.substr(i, 2).c_str(), nullptr, 16));
        current->values[Lower(value.name)] = value;
    }
    return true;
}

// Holds the store loaded from its file, the file lock and the process lock for one call.
class Transaction {
public:
    Transaction() : guard_(StoreLock()), path_(StorePath()) {
        MakeParentDirectories(path_);
        lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ >= 0)
            ::flock(lockFd_, LOCK_EX);
        for (int i = 0; i < 2; ++i)
            store_.roots[i].name = kRootNames[i];
        std::ifstream in(path_);
        if (in && !Parse(in, store_)) {
            // A damaged file is set aside rather than lost or half-read.
            Store empty;
            for (int i = 0; i < 2; ++i)
                empty.roots[i].name = kRootNames[i];
            store_ = std::move(empty);
            std::rename(path_.c_str(), (path_ + ".damaged").c_str());
        }
    }
    ~Transaction() {
        if (lockFd_ >= 0)
            ::close(lockFd_);
    }
    Store& store() { return store_; }
    bool Save() {
        std::ostringstream out;
        out << kFileHeader << "\n";
        for (int i = 0; i < 2; ++i)
            WriteKey(out, kRootNames[i], store_.roots[i]);
        std::string tmp = path_ + ".tmp";
        {
            std::ofstream file(tmp, std::ios::trunc);
            file << out.str();
            if (!file.flush())
                return false;
        }
        return std::rename(tmp.c_str(), path_.c_str()) == 0;
    }

private:
    std::lock_guard<std::mutex> guard_;
    std::string path_;
    int lockFd_ = -1;
    Store store_;
};

class RegistryKey : public KernelObject {
public:
    RegistryKey(int rootIndex, std::vector<std::string> path)
        : root(rootIndex), parts(std::move(path)) {}
    const int root;
    const std::vector<std::string> parts;
};

// Root index and path of a key handle plus an optional subkey; false for an unknown handle.
bool Resolve(HKEY hKey, LPCSTR subKey, int& root, std::vector<std::string>& parts) {
    if (hKey == HKEY_CLASSES_ROOT) {
        root = 0;
        parts.clear();
    } else if (hKey == HKEY_CURRENT_USER) {
        root = 1;
        parts.clear();
    } else {
        auto key = LookupHandleAs<RegistryKey>(hKey);
        if (!key)
            return false;
        root = key->root;
        parts = key->parts;
    }
    if (subKey) {
        for (auto& p : SplitPath(subKey))
            parts.push_back(p);
    }
    return true;
}

bool ValidSubKey(LPCSTR subKey) {
    if (!subKey)
        return true;
    for (auto& p : SplitPath(subKey))
        if (p.size() > kMaxKeyNameChars)
            return false;
    return true;
}

}  // namespace
}  // namespace winapi

using namespace winapi;

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                            const struct _SECURITY_ATTRIBUTES*, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, lpSubKey, root, parts))
        return ERROR_INVALID_HANDLE;
    if (!ValidSubKey(lpSubKey))
        return ERROR_INVALID_PARAMETER;
    Transaction tx;
    if (hKey != HKEY_CLASSES_ROOT && hKey != HKEY_CURRENT_USER) {
        auto base = LookupHandleAs<RegistryKey>(hKey);
        if (!Walk(tx.store().roots[root], base->parts, false))
            return ERROR_KEY_DELETED;
    }
    bool created = false;
    Walk(tx.store().roots[root], parts, true, &created);
    if (created && !tx.Save())
        return ERROR_CANTWRITE;
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = InsertHandle(std::make_shared<RegistryKey>(root, parts));
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, lpSubKey, root, parts))
        return ERROR_INVALID_HANDLE;
    Transaction tx;
    if (!Walk(tx.store().roots[root], parts, false))
        return ERROR_FILE_NOT_FOUND;
    *phkResult = InsertHandle(std::make_shared<RegistryKey>(root, parts));
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER)
        return ERROR_SUCCESS;
    if (!LookupHandleAs<RegistryKey>(hKey))
        return ERROR_INVALID_HANDLE;
    RemoveHandle(hKey);
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, nullptr, root, parts))
        return ERROR_INVALID_HANDLE;
    if (cbData && !lpData)
        return ERROR_NOACCESS;
    Transaction tx;
    Key* key = Walk(tx.store().roots[root], parts, false);
    if (!key)
        return ERROR_KEY_DELETED;
    Value value;
    value.name = lpValueName ? lpValueName : "";
    value.type = dwType;
    value.data.assign(reinterpret_cast<const char*>(lpData), cbData);
    // Text values always end in a zero in the store, as RegQueryValueEx returns them.
    if ((dwType == REG_SZ || dwType == REG_EXPAND_SZ) &&
        (value.data.empty() || value.data.back() != '\0'))
        value.data.push_back('\0');
    key->values[Lower(value.name)] = value;
    return tx.Save() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, nullptr, root, parts))
        return ERROR_INVALID_HANDLE;
    if (lpData && !lpcbData)
        return ERROR_INVALID_PARAMETER;
    Transaction tx;
    Key* key = Walk(tx.store().roots[root], parts, false);
    if (!key)
        return ERROR_KEY_DELETED;
    auto it = key->values.find(Lower(lpValueName ? lpValueName : ""));
    if (it == key->values.end())
        return ERROR_FILE_NOT_FOUND;
    const Value& value = it->second;
    if (lpType)
        *lpType = value.type;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpcbData) {
        DWORD room = *lpcbData;
        *lpcbData = size;
        if (lpData) {
            if (room < size)
                return ERROR_MORE_DATA;
            std::memcpy(lpData, value.data.data(), size);
        }
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, nullptr, root, parts))
        return ERROR_INVALID_HANDLE;
    Transaction tx;
    Key* key = Walk(tx.store().roots[root], parts, false);
    if (!key)
        return ERROR_KEY_DELETED;
    if (key->values.erase(Lower(lpValueName ? lpValueName : "")) == 0)
        return ERROR_FILE_NOT_FOUND;
    return tx.Save() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

static LONG DeleteKey(HKEY hKey, LPCSTR lpSubKey, bool tree) {
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, lpSubKey, root, parts))
        return ERROR_INVALID_HANDLE;
    Transaction tx;
    if (parts.empty()) {
        // A root key cannot go; a tree deletion of it removes its contents.
        if (!tree)
            return ERROR_ACCESS_DENIED;
        tx.store().roots[root].subkeys.clear();
        tx.store().roots[root].values.clear();
        return tx.Save() ? ERROR_SUCCESS : ERROR_CANTWRITE;
    }
    std::vector<std::string> parentParts(parts.begin(), parts.end() - 1);
    Key* parent = Walk(tx.store().roots[root], parentParts, false);
    if (!parent)
        return ERROR_FILE_NOT_FOUND;
    auto it = parent->subkeys.find(Lower(parts.back()));
    if (it == parent->subkeys.end())
        return ERROR_FILE_NOT_FOUND;
    if (!tree && !it->second.subkeys.empty())
        return ERROR_ACCESS_DENIED;
    if (tree && (!lpSubKey || !*lpSubKey)) {
        it->second.subkeys.clear();
        it->second.values.clear();
    } else {
        parent->subkeys.erase(it);
    }
    return tx.Save() ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    return DeleteKey(hKey, lpSubKey, false);
}

LONG WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey) {
    return DeleteKey(hKey, lpSubKey, true);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR,
                          LPDWORD, void*) {
    if (!lpName || !lpcchName)
        return ERROR_INVALID_PARAMETER;
    int root;
    std::vector<std::string> parts;
    if (!Resolve(hKey, nullptr, root, parts))
        return ERROR_INVALID_HANDLE;
    Transaction tx;
    Key* key = Walk(tx.store().roots[root], parts, false);
    if (!key)
        return ERROR_KEY_DELETED;
    if (dwIndex >= key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    auto it = key->subkeys.begin();
    std::advance(it, dwIndex);
    const std::string& name = it->second.name;
    if (name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

}  // extern "C"
