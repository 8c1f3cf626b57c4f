// The registrar: runs registry scripts (nested keys in braces, "s"/"d" values, "val" named
// values, ForceRemove/NoRemove marks, %MODULE%) in registration or removal mode.
#include <windows.h>
#include <objbase.h>
#include <winapi_com.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr char kRegistryResourceType[] = "REGISTRY";

struct Token {
    enum Kind { Word, Text, Open, Close, Equals, End } kind;
    std::string text;
};

class Lexer {
public:
    explicit Lexer(std::string s) : s_(std::move(s)) {}
    bool Next(Token& t) {
        while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_])))
            ++at_;
        if (at_ >= s_.size()) {
            t = {Token::End, {}};
            return true;
        }
        char c = s_[at_];
        // "{1B45...}" is a key name (a GUID); a brace followed by a space opens a block.
        if (c == '{' && at_ + 1 < s_.size() &&
            std::isxdigit(static_cast<unsigned char>(s_[at_ + 1]))) {
            size_t close = s_.find('}', at_);
            if (close == std::string::npos)
                return false;
            t = {Token::Word, s_.substr(at_, close - at_ + 1)};
            at_ = close + 1;
            return true;
        }
        if (c == '{' || c == '}' || c == '=') {
            ++at_;
            t = {c == '{' ? Token::Open : c == '}' ? Token::Close : Token::Equals, {}};
            return true;
        }
        if (c == '\'') {
            std::string text;
            ++at_;
            for (;;) {
                if (at_ >= s_.size())
                    return false;
                if (s_[at_] == '\'') {
                    if (at_ + 1 < s_.size() && s_[at_ + 1] == '\'') {
                        text += '\'';
                        at_ += 2;
                        continue;
                    }
                    ++at_;
                    break;
                }
                text += s_[at_++];
            }
            t = {Token::Text, text};
            return true;
        }
        std::string word;
        while (at_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[at_])) &&
               s_[at_] != '{' && s_[at_] != '}' && s_[at_] != '=' && s_[at_] != '\'')
            word += s_[at_++];
        t = {Token::Word, word};
        return true;
    }

private:
    std::string s_;
    size_t at_ = 0;
};

struct Value {
    std::string name;  // empty: the key's default value
    DWORD type = REG_SZ;
    std::string text;
};

struct KeyNode {
    enum Mark { Plain, ForceRemove, NoRemove, Delete } mark = Plain;
    std::string name;
    bool hasDefault = false;
    Value defaultValue;
    std::vector<Value> values;
    std::vector<KeyNode> children;
};

class Parser {
public:
    explicit Parser(const std::string& script) : lex_(script) { Advance(); }
    bool ok = true;

    // Root blocks: HKCR { ... } and HKCU { ... }.
    bool Roots(std::vector<std::pair<HKEY, KeyNode>>& roots) {
        while (ok && cur_.kind != Token::End) {
            if (cur_.kind != Token::Word)
                return false;
            HKEY root;
            if (cur_.text == "HKCR" || cur_.text == "HKEY_CLASSES_ROOT")
                root = HKEY_CLASSES_ROOT;
            else if (cur_.text == "HKCU" || cur_.text == "HKEY_CURRENT_USER")
                root = HKEY_CURRENT_USER;
            else
                return false;
            Advance();
            KeyNode node;
            node.mark = KeyNode::NoRemove;
            if (!Body(node))
                return false;
            roots.emplace_back(root, std::move(node));
        }
        return ok;
    }

private:
    void Advance() {
        if (!lex_.Next(cur_))
            ok = false;
    }
    bool Body(KeyNode& node) {
        if (cur_.kind != Token::Open)
            return false;
        Advance();
        while (ok && cur_.kind != Token::Close) {
            if (cur_.kind == Token::End)
                return false;
            if (cur_.kind == Token::Word && cur_.text == "val") {
                Advance();
                Value v;
                if (cur_.kind != Token::Word && cur_.kind != Token::Text)
                    return false;
                v.name = cur_.text;
                Advance();
                if (!Assignment(v))
                    return false;
                node.values.push_back(v);
                continue;
            }
            KeyNode child;
            if (cur_.kind == Token::Word &&
                (cur_.text == "ForceRemove" || cur_.text == "NoRemove" || cur_.text == "Delete")) {
                child.mark = cur_.text == "ForceRemove" ? KeyNode::ForceRemove
                             : cur_.text == "NoRemove"  ? KeyNode::NoRemove
                                                        : KeyNode::Delete;
                Advance();
            }
            if (cur_.kind != Token::Word && cur_.kind != Token::Text)
                return false;
            child.name = cur_.text;
            Advance();
            if (cur_.kind == Token::Equals) {
                child.hasDefault = true;
                if (!Assignment(child.defaultValue))
                    return false;
            }
            if (cur_.kind == Token::Open && !Body(child))
                return false;
            node.children.push_back(std::move(child));
        }
        Advance();
        return ok;
    }
    // "= s 'text'" or "= d 'number'"
    bool Assignment(Value& v) {
        if (cur_.kind != Token::Equals)
            return false;
        Advance();
        if (cur_.kind != Token::Word || (cur_.text != "s" && cur_.text != "d"))
            return false;
        v.type = cur_.text == "s" ? REG_SZ : REG_DWORD;
        Advance();
        if (cur_.kind != Token::Text)
            return false;
        v.text = cur_.text;
        Advance();
        return true;
    }

    Lexer lex_;
    Token cur_{Token::End, {}};
};

LONG SetValue(HKEY key, const Value& v) {
    if (v.type == REG_DWORD) {
        DWORD n = static_cast<DWORD>(std::strtoul(v.text.c_str(), nullptr, 0));
        return RegSetValueExA(key, v.name.empty() ? nullptr : v.name.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE*>(&n), sizeof n);
    }
    return RegSetValueExA(key, v.name.empty() ? nullptr : v.name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(v.text.c_str()),
                          static_cast<DWORD>(v.text.size() + 1));
}

HRESULT Register(HKEY parent, const KeyNode& node) {
    for (const auto& child : node.children) {
        if (child.mark == KeyNode::Delete) {
            RegDeleteTreeA(parent, child.name.c_str());
            continue;
        }
        if (child.mark == KeyNode::ForceRemove)
            RegDeleteTreeA(parent, child.name.c_str());
        HKEY key;
        LONG r = RegCreateKeyExA(parent, child.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                 &key, nullptr);
        if (r != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(r);
        HRESULT hr = S_OK;
        if (child.hasDefault)
            hr = HRESULT_FROM_WIN32(SetValue(key, child.defaultValue));
        for (const auto& v : child.values)
            if (SUCCEEDED(hr))
                hr = HRESULT_FROM_WIN32(SetValue(key, v));
        if (SUCCEEDED(hr))
            hr = Register(key, child);
        RegCloseKey(key);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

void Unregister(HKEY parent, const KeyNode& node) {
    for (const auto& child : node.children) {
        if (child.mark == KeyNode::ForceRemove || child.mark == KeyNode::Delete) {
            RegDeleteTreeA(parent, child.name.c_str());
            continue;
        }
        HKEY key;
        if (RegOpenKeyExA(parent, child.name.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
            continue;
        Unregister(key, child);
        if (child.mark == KeyNode::Plain) {
            for (const auto& v : child.values)
                RegDeleteValueA(key, v.name.c_str());
        }
        RegCloseKey(key);
        // A plain key goes once nothing of anyone else is left below it.
        if (child.mark == KeyNode::Plain)
            RegDeleteKeyA(parent, child.name.c_str());
    }
}

std::string Substitute(const std::string& script, const char* modulePath) {
    std::string out;
    for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] == '%') {
            size_t end = script.find('%', i + 1);
            if (end == std::string::npos) {
                out += script.substr(i);
                break;
            }
            std::string name = script.substr(i + 1, end - i - 1);
            if (name.empty())
                out += '%';
            else if (name == "MODULE")
                out += modulePath ? modulePath : "";
            else
                out += script.substr(i, end - i + 1);
            i = end;
        } else {
            out += script[i];
        }
    }
    return out;
}

}  // namespace

extern "C" {

HRESULT WINAPI RegistrarRunScript(const char* script, const char* modulePath, BOOL bRegister) {
    if (!script)
        return E_INVALIDARG;
    std::vector<std::pair<HKEY, KeyNode>> roots;
    Parser parser(Substitute(script, modulePath));
    if (!parser.Roots(roots))
        return DISP_E_EXCEPTION;  // the registrar's answer to a script it cannot read
    for (const auto& [root, node] : roots) {
        if (bRegister) {
            HRESULT hr = Register(root, node);
            if (FAILED(hr))
                return hr;
        } else {
            Unregister(root, node);
        }
    }
    return S_OK;
}

HRESULT WINAPI RegistrarRunResource(HMODULE hModule, UINT resourceId, BOOL bRegister) {
    HRSRC res = FindResourceA(hModule, MAKEINTRESOURCEA(resourceId), kRegistryResourceType);
    if (!res)
        return HRESULT_FROM_WIN32(GetLastError());
    const char* data = static_cast<const char*>(LockResource(LoadResource(hModule, res)));
    std::string script(data, SizeofResource(hModule, res));
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(hModule, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return HRESULT_FROM_WIN32(GetLastError());
    return RegistrarRunScript(script.c_str(), path, bRegister);
}

}  // extern "C"
