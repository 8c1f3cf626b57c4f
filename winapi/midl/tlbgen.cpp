// tlbgen: turns one type-library description into the C++ header, the dispatch tables and the
// WTLB type library, and packs files and string tables into a module's resource table.
//
//   tlbgen idl DESCRIPTION OUTDIR BASENAME
//   tlbgen resources OUT.cpp TYPE:ID:FILE... STRINGTABLE:FILE
//
// Description lines ('#' starts a comment):
//   library NAME {LIBID} MAJOR.MINOR "help"
//   enum NAME ... NAME = VALUE ... end
//   interface NAME {IID} [dual] "help" ... end      (members below)
//   dispinterface NAME {IID} "help" ... end
//   coclass NAME {CLSID} "help"  ... [default] interface NAME / [default, source] dispinterface
//   NAME ... end
// Members: method DISPID NAME(PARAMS) "help"  |  propget DISPID NAME(PARAMS) "help"
// Parameters: [in] TYPE NAME, [out] TYPE* NAME, [out, retval] TYPE* NAME, with TYPE one of BSTR,
// long, VARIANT, IDispatch*, or an enum of the library.
#include "../src/typelib_format.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// VARTYPE values (kept here so the generator needs no platform headers).
constexpr uint16_t kVtEmpty = 0, kVtI4 = 3, kVtBstr = 8, kVtDispatch = 9, kVtVariant = 12,
                   kVtByref = 0x4000;
constexpr uint8_t kTkindEnum = 0, kTkindInterface = 3, kTkindDispatch = 4, kTkindCoclass = 5;
constexpr uint8_t kInvokeFunc = 1, kInvokePropertyGet = 2, kInvokePropertyPut = 4;

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    std::cerr << where << ": error: " << what << "\n";
    std::exit(1);
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

wtlb::Guid ParseGuid(const std::string& text, const std::string& where) {
    std::string t = text;
    if (t.size() == 38 && t.front() == '{' && t.back() == '}')
        t = t.substr(1, 36);
    if (t.size() != 36)
        Fail(where, "malformed GUID " + text);
    auto hex = [&](size_t at, size_t n) {
        std::string part = t.substr(at, n);
        if (part.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            Fail(where, "malformed GUID " + text);
        return static_cast<uint32_t>(std::strtoul(part.c_str(), nullptr, 16));
    };
    wtlb::Guid g;
    g.d1 = hex(0, 8);
    g.d2 = static_cast<uint16_t>(hex(9, 4));
    g.d3 = static_cast<uint16_t>(hex(14, 4));
    g.d4[0] = static_cast<uint8_t>(hex(19, 2));
    g.d4[1] = static_cast<uint8_t>(hex(21, 2));
    for (int i = 0; i < 6; ++i)
        g.d4[2 + i] = static_cast<uint8_t>(hex(24 + 2 * i, 2));
    return g;
}

std::string GuidText(const wtlb::Guid& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.d1, g.d2,
                  g.d3, g.d4[0], g.d4[1], g.d4[2], g.d4[3], g.d4[4], g.d4[5], g.d4[6], g.d4[7]);
    return buf;
}

// The quoted text at the end of a line; the line without it goes to `rest`.
std::string TakeQuoted(const std::string& line, std::string& rest, const std::string& where) {
    size_t end = line.rfind('"');
    if (end == std::string::npos)
        Fail(where, "help string missing");
    size_t begin = line.rfind('"', end - 1);
    if (begin == std::string::npos)
        Fail(where, "unterminated help string");
    rest = Trim(line.substr(0, begin));
    return line.substr(begin + 1, end - begin - 1);
}

std::string CppString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

struct ParamDecl {
    std::string type;  // as written, '*' included
    std::string name;
    bool in = false, out = false, retval = false;
};

struct Description {
    wtlb::Library lib;
    std::map<std::string, std::vector<std::pair<std::string, long>>> enums;
    std::vector<std::string> enumOrder;
    // Parameter spellings per interface and member, for the header.
    std::map<std::string, std::vector<std::vector<ParamDecl>>> decls;
};

uint16_t VarType(const Description& d, std::string type, const std::string& where) {
    bool pointer = false;
    if (!type.empty() && type.back() == '*' && type != "IDispatch*") {
        pointer = true;
        type = Trim(type.substr(0, type.size() - 1));
    }
    uint16_t vt;
    if (type == "BSTR")
        vt = kVtBstr;
    else if (type == "long" || d.enums.count(type))
        vt = kVtI4;
    else if (type == "VARIANT")
        vt = kVtVariant;
    else if (type == "IDispatch*")
        vt = kVtDispatch;
    else
        Fail(where, "unknown type " + type);
    return pointer ? static_cast<uint16_t>(vt | kVtByref) : vt;
}

std::vector<std::string> SplitParams(const std::string& text) {
    std::vector<std::string> parts;
    int depth = 0;
    std::string cur;
    for (char c : text) {
        if (c == '[')
            ++depth;
        if (c == ']')
            --depth;
        if (c == ',' && depth == 0) {
            parts.push_back(Trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!Trim(cur).empty())
        parts.push_back(Trim(cur));
    return parts;
}

ParamDecl ParseParam(const std::string& text, const std::string& where) {
    ParamDecl p;
    std::string rest = text;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos)
            Fail(where, "unterminated attribute list");
        std::string attrs = rest.substr(1, close - 1);
        p.in = attrs.find("in") != std::string::npos;
        p.out = attrs.find("out") != std::string::npos;
        p.retval = attrs.find("retval") != std::string::npos;
        rest = Trim(rest.substr(close + 1));
    } else {
        p.in = true;
    }
    size_t split = rest.find_last_of(" *");
    if (split == std::string::npos)
        Fail(where, "parameter needs a type and a name: " + text);
    p.type = Trim(rest.substr(0, split + 1));
    p.name = Trim(rest.substr(split + 1));
    if (p.type.empty() || p.name.empty())
        Fail(where, "parameter needs a type and a name: " + text);
    if (p.out && (p.type.back() != '*' || p.type == "IDispatch*"))
        Fail(where, "an [out] parameter must be a pointer: " + text);
    return p;
}

Description ParseDescription(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        Fail(path, "cannot open");
    Description d;
    std::string line;
    int lineNo = 0;
    wtlb::Type* current = nullptr;
    std::string currentEnum;
    std::set<std::string> names;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string where = path + ":" + std::to_string(lineNo);
        if (auto hash = line.find('#'); hash != std::string::npos && line.find('"') > hash)
            line.resize(hash);
        line = Trim(line);
        if (line.empty())
            continue;
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        if (keyword == "end") {
            current = nullptr;
            currentEnum.clear();
            continue;
        }
        if (!currentEnum.empty()) {
            size_t eq = line.find('=');
            if (eq == std::string::npos)
                Fail(where, "enum values read NAME = VALUE");
            std::string name = Trim(line.substr(0, eq));
            long value = std::strtol(Trim(line.substr(eq + 1)).c_str(), nullptr, 0);
            d.enums[currentEnum].push_back({name, value});
            wtlb::Member m;
            m.id = static_cast<int32_t>(value);
            m.name = name;
            d.lib.types.back().members.push_back(m);
            continue;
        }
        if (keyword == "library") {
            std::string rest;
            d.lib.help = TakeQuoted(line, rest, where);
            std::istringstream r(rest);
            std::string kw, guid, version;
            r >> kw >> d.lib.name >> guid >> version;
            d.lib.libid = ParseGuid(guid, where);
            size_t dot = version.find('.');
            if (dot == std::string::npos)
                Fail(where, "version reads MAJOR.MINOR");
            d.lib.major = static_cast<uint16_t>(std::stoi(version.substr(0, dot)));
            d.lib.minor = static_cast<uint16_t>(std::stoi(version.substr(dot + 1)));
            continue;
        }
        if (keyword == "enum") {
            words >> currentEnum;
            d.enumOrder.push_back(currentEnum);
            d.enums[currentEnum];
            wtlb::Type t;
            t.kind = kTkindEnum;
            t.name = currentEnum;
            d.lib.types.push_back(t);
            continue;
        }
        if (keyword == "interface" || keyword == "dispinterface" || keyword == "coclass") {
            if (current)
                Fail(where, "missing end");
            std::string rest;
            wtlb::Type t;
            t.help = TakeQuoted(line, rest, where);
            std::istringstream r(rest);
            std::string kw, guid, flag;
            r >> kw >> t.name >> guid;
            t.guid = ParseGuid(guid, where);
            while (r >> flag) {
                if (flag == "dual")
                    t.flags |= wtlb::kTypeDual | wtlb::kTypeOleAutomation;
                else
                    Fail(where, "unknown flag " + flag);
            }
            t.kind = keyword == "interface"       ? kTkindInterface
                     : keyword == "dispinterface" ? kTkindDispatch
                                                  : kTkindCoclass;
            if (!names.insert(t.name).second)
                Fail(where, "duplicate name " + t.name);
            d.lib.types.push_back(t);
            current = &d.lib.types.back();
            continue;
        }
        if (!current)
            Fail(where, "member outside a type: " + line);
        if (current->kind == kTkindCoclass) {
            wtlb::Member m;
            if (line[0] == '[') {
                std::string attrs = line.substr(1, line.find(']') - 1);
                if (attrs.find("default") != std::string::npos)
                    m.id |= wtlb::kImplDefault;
                if (attrs.find("source") != std::string::npos)
                    m.id |= wtlb::kImplSource;
                line = Trim(line.substr(line.find(']') + 1));
            }
            std::istringstream r(line);
            std::string kw;
            r >> kw >> m.name;
            current->members.push_back(m);
            continue;
        }
        if (keyword != "method" && keyword != "propget" && keyword != "propput")
            Fail(where, "expected method, propget or propput: " + line);
        std::string rest;
        wtlb::Member m;
        m.help = TakeQuoted(line, rest, where);
        m.invokeKind = keyword == "method"    ? kInvokeFunc
                       : keyword == "propget" ? kInvokePropertyGet
                                              : kInvokePropertyPut;
        size_t open = rest.find('('), close = rest.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            Fail(where, "parameter list missing");
        std::istringstream head(rest.substr(0, open));
        std::string kw;
        head >> kw >> m.id >> m.name;
        for (const auto& existing : current->members) {
            if (existing.id == m.id)
                Fail(where, "DISPID " + std::to_string(m.id) + " used twice");
            if (existing.name == m.name && existing.invokeKind == m.invokeKind)
                Fail(where, "member " + m.name + " declared twice");
        }
        std::vector<ParamDecl> decls;
        m.resultType = kVtEmpty;
        for (const auto& text : SplitParams(rest.substr(open + 1, close - open - 1))) {
            ParamDecl p = ParseParam(text, where);
            uint16_t vt = VarType(d, p.type, where);
            if (p.retval) {
                if (!decls.empty() && decls.back().retval)
                    Fail(where, "one [retval] parameter at most");
                m.resultType = static_cast<uint16_t>(vt & ~kVtByref);
            } else {
                wtlb::Param param;
                param.vt = vt;
                param.flags = static_cast<uint8_t>((p.in ? wtlb::kParamIn : 0) |
                                                   (p.out ? wtlb::kParamOut : 0));
                param.name = p.name;
                m.params.push_back(param);
            }
            decls.push_back(p);
        }
        if (m.invokeKind == kInvokePropertyGet && m.resultType == kVtEmpty)
            Fail(where, "a propget needs an [out, retval] parameter");
        if (m.invokeKind == kInvokePropertyPut &&
            (m.params.size() != 1 || m.resultType != kVtEmpty))
            Fail(where, "a propput takes exactly one [in] parameter");
        current->members.push_back(m);
        d.decls[current->name].push_back(decls);
    }
    if (current)
        Fail(path, "missing end at end of file");
    if (d.lib.name.empty())
        Fail(path, "no library line");
    return d;
}

std::string CppType(const Description& d, const std::string& type) {
    bool pointer = type.back() == '*' && type != "IDispatch*";
    std::string base = pointer ? Trim(type.substr(0, type.size() - 1)) : type;
    std::string cpp = base == "long" ? "LONG" : base;
    (void)d;
    return pointer ? cpp + "*" : cpp;
}

std::string MethodName(const wtlb::Member& m) {
    return m.invokeKind == kInvokePropertyGet   ? "get_" + m.name
           : m.invokeKind == kInvokePropertyPut ? "put_" + m.name
                                                : m.name;
}

void WriteHeader(const Description& d, const std::string& path, const std::string& base) {
    std::ofstream out(path);
    out << "// Generated by tlbgen from " << base << "'s type-library description; do not edit.\n"
        << "#pragma once\n\n#include <objbase.h>\n#include <winapi_com.h>\n\n";
    out << "inline constexpr GUID LIBID_" << d.lib.name << " = MakeGuid(\"" << GuidText(d.lib.libid)
        << "\");\n\n";
    for (const auto& name : d.enumOrder) {
        std::string guard = name;
        for (auto& c : guard)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out << "#ifndef " << guard << "_DEFINED\n#define " << guard << "_DEFINED\n";
        out << "enum " << name << " : LONG {\n";
        for (const auto& [n, v] : d.enums.at(name))
            out << "    " << n << " = " << v << ",\n";
        out << "};\n#endif\n\n";
    }
    out << "#if defined(__GNUC__)\n#pragma GCC diagnostic push\n"
        << "#pragma GCC diagnostic ignored \"-Wnon-virtual-dtor\"\n#endif\n\n";
    for (const auto& t : d.lib.types) {
        if (t.kind == kTkindInterface) {
            out << "// " << t.help << "\n";
            out << "WINAPI_INTERFACE_ID(" << t.name << ", \"" << GuidText(t.guid) << "\");\n";
            out << "struct " << t.name << " : IDispatch {\n";
            const auto& decls = d.decls.at(t.name);
            for (size_t i = 0; i < t.members.size(); ++i) {
                const auto& m = t.members[i];
                out << "    // DISPID " << m.id << ": " << m.help << "\n";
                out << "    STDMETHOD(" << MethodName(m) << ")(";
                for (size_t k = 0; k < decls[i].size(); ++k) {
                    if (k)
                        out << ", ";
                    out << CppType(d, decls[i][k].type) << " " << decls[i][k].name;
                }
                out << ") PURE;\n";
            }
            out << "};\n";
            out << "extern const DISPATCH_TABLE DispatchTable_" << t.name << ";\n\n";
        } else if (t.kind == kTkindDispatch) {
            out << "// " << t.help << " (raised through IDispatch::Invoke)\n";
            out << "inline constexpr IID DIID_" << t.name << " = MakeGuid(\"" << GuidText(t.guid)
                << "\");\n";
            for (const auto& m : t.members)
                out << "inline constexpr DISPID DISPID_" << t.name << "_" << m.name << " = " << m.id
                    << ";  // " << m.help << "\n";
            out << "\n";
        } else if (t.kind == kTkindCoclass) {
            out << "// " << t.help << "\n";
            out << "WINAPI_CLASS_ID(" << t.name << ", \"" << GuidText(t.guid) << "\");\n\n";
        }
    }
    out << "#if defined(__GNUC__)\n#pragma GCC diagnostic pop\n#endif\n";
}

std::string VtName(uint16_t vt) {
    std::string byref = (vt & kVtByref) ? "VT_BYREF | " : "";
    switch (vt & ~kVtByref) {
        case kVtEmpty:
            return byref + "VT_EMPTY";
        case kVtI4:
            return byref + "VT_I4";
        case kVtBstr:
            return byref + "VT_BSTR";
        case kVtDispatch:
            return byref + "VT_DISPATCH";
        case kVtVariant:
            return byref + "VT_VARIANT";
    }
    return "VT_EMPTY";
}

void WriteDispatch(const Description& d, const std::string& path, const std::string& base) {
    std::ofstream out(path);
    out << "// Generated by tlbgen from " << base << "'s type-library description; do not edit.\n"
        << "#include \"" << base << "_i.h\"\n\nnamespace {\n\n";
    for (const auto& t : d.lib.types) {
        if (t.kind != kTkindInterface)
            continue;
        const auto& decls = d.decls.at(t.name);
        for (size_t i = 0; i < t.members.size(); ++i) {
            const auto& m = t.members[i];
            std::string fn = t.name + "_" + MethodName(m);
            out << "HRESULT Thunk_" << fn << "(void* self, VARIANT* args, VARIANT* retval) {\n";
            out << "    (void)args;\n    (void)retval;\n";
            std::string call = "static_cast<" + t.name + "*>(self)->" + MethodName(m) + "(";
            size_t argIndex = 0;
            std::string retvalSetup;
            for (size_t k = 0; k < decls[i].size(); ++k) {
                const auto& p = decls[i][k];
                if (k)
                    call += ", ";
                uint16_t vt = VarType(d, p.type, path);
                if (p.retval) {
                    uint16_t rv = vt & ~kVtByref;
                    if (rv == kVtVariant) {
                        call += "retval";
                    } else {
                        retvalSetup = "    retval->vt = " + VtName(rv) + ";\n";
                        call += rv == kVtBstr ? "&retval->bstrVal"
                                : rv == kVtI4 ? "&retval->lVal"
                                              : "&retval->pdispVal";
                        if (rv == kVtI4 && p.type != "long*")
                            Fail(path, "enum [retval] is not supported");
                    }
                    continue;
                }
                std::string a = "args[" + std::to_string(argIndex++) + "]";
                if (vt & kVtByref) {
                    uint16_t b = vt & ~kVtByref;
                    call += b == kVtBstr ? a + ".pbstrVal"
                            : b == kVtI4 ? a + ".plVal"
                                         : a + ".pvarVal";
                } else if (vt == kVtBstr) {
                    call += a + ".bstrVal";
                } else if (vt == kVtDispatch) {
                    call += a + ".pdispVal";
                } else if (vt == kVtVariant) {
                    call += a;
                } else if (d.enums.count(p.type)) {
                    call += "static_cast<" + p.type + ">(" + a + ".lVal)";
                } else {
                    call += a + ".lVal";
                }
            }
            call += ")";
            out << retvalSetup;
            out << "    HRESULT hr = " << call << ";\n";
            if (!retvalSetup.empty())
                out << "    if (FAILED(hr))\n        VariantInit(retval);\n";
            out << "    return hr;\n}\n";
            out << "const VARTYPE Params_" << fn << "[] = {";
            for (const auto& p : m.params)
                out << VtName(p.vt) << ", ";
            out << "VT_EMPTY};\n\n";
        }
        out << "const DISPATCH_MEMBER Members_" << t.name << "[] = {\n";
        for (const auto& m : t.members) {
            std::string fn = t.name + "_" + MethodName(m);
            out << "    {" << CppString(m.name) << ", " << m.id << ", "
                << (m.invokeKind == kInvokeFunc          ? "INVOKE_FUNC"
                    : m.invokeKind == kInvokePropertyGet ? "INVOKE_PROPERTYGET"
                                                         : "INVOKE_PROPERTYPUT")
                << ", " << m.params.size() << ", Params_" << fn << ", " << VtName(m.resultType)
                << ", Thunk_" << fn << "},\n";
        }
        out << "};\n\n";
    }
    out << "}  // namespace\n\n";
    for (const auto& t : d.lib.types) {
        if (t.kind != kTkindInterface)
            continue;
        out << "const DISPATCH_TABLE DispatchTable_" << t.name << " = {&IID_" << t.name << ", "
            << CppString(t.name) << ", Members_" << t.name << ", "
            << "sizeof Members_" << t.name << " / sizeof Members_" << t.name << "[0]};\n";
    }
    out << "\nnamespace {\n// The tables become known to ITypeInfo::Invoke when the module loads.\n"
        << "[[maybe_unused]] const bool registered = [] {\n";
    for (const auto& t : d.lib.types)
        if (t.kind == kTkindInterface)
            out << "    DispatchTableRegister(&DispatchTable_" << t.name << ");\n";
    out << "    return true;\n}();\n}  // namespace\n";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail(path, "cannot open");
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(std::ostream& out, const std::string& name, const std::string& bytes) {
    out << "const unsigned char " << name << "[] = {";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0)
            out << "\n   ";
        out << " " << static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << ",";
    }
    out << " 0};\n";
}

// UTF-8 to UTF-16 code units for string tables.
std::u16string Utf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned c = static_cast<unsigned char>(s[i]);
        unsigned cp;
        size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
        cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; k < len && i + k < s.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

int Resources(int argc, char** argv) {
    std::string outPath = argv[2];
    std::ostringstream out;
    out << "// Generated by tlbgen: the module's resources; do not edit.\n"
        << "#include <windows.h>\n\nnamespace {\n";
    std::vector<std::string> entries;
    int n = 0;
    for (int i = 3; i < argc; ++i) {
        std::string item = argv[i];
        if (item.rfind("STRINGTABLE:", 0) == 0) {
            std::string file = item.substr(12);
            std::ifstream in(file);
            if (!in)
                Fail(file, "cannot open");
            std::map<unsigned, std::map<unsigned, std::u16string>> blocks;
            std::string line;
            int lineNo = 0;
            while (std::getline(in, line)) {
                ++lineNo;
                line = Trim(line);
                if (line.empty() || line[0] == '#')
                    continue;
                std::string rest;
                std::string text = TakeQuoted(line, rest, file + ":" + std::to_string(lineNo));
                unsigned id = static_cast<unsigned>(std::stoul(rest));
                blocks[id / 16 + 1][id % 16] = Utf16(text);
            }
            for (const auto& [block, strings] : blocks) {
                std::u16string units;
                for (unsigned k = 0; k < 16; ++k) {
                    auto it = strings.find(k);
                    const std::u16string& s = it == strings.end() ? std::u16string() : it->second;
                    units.push_back(static_cast<char16_t>(s.size()));
                    units += s;
                }
                std::string name = "kResource" + std::to_string(n++);
                out << "const char16_t " << name << "[] = {";
                for (char16_t u : units)
                    out << static_cast<unsigned>(u) << ", ";
                out << "0};\n";
                entries.push_back("{nullptr, 6, nullptr, " + std::to_string(block) + ", " + name +
                                  ", " + std::to_string(units.size() * 2) + "}");
            }
            continue;
        }
        size_t a = item.find(':'), b = item.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos)
            Fail(item, "resource reads TYPE:ID:FILE");
        std::string type = item.substr(0, a);
        std::string id = item.substr(a + 1, b - a - 1);
        std::string bytes = ReadFile(item.substr(b + 1));
        std::string name = "kResource" + std::to_string(n++);
        WriteBytes(out, name, bytes);
        entries.push_back("{" + CppString(type) + ", 0, nullptr, " + id + ", " + name + ", " +
                          std::to_string(bytes.size()) + "}");
    }
    out << "const WINAPI_RESOURCE kResources[] = {\n";
    for (const auto& e : entries)
        out << "    " << e << ",\n";
    out << "};\n}  // namespace\n\n"
        << "extern \"C\" __attribute__((visibility(\"default\"))) const WINAPI_RESOURCE* "
        << "WinapiResources(UINT* count) {\n"
        << "    *count = sizeof kResources / sizeof kResources[0];\n    return kResources;\n}\n";
    std::ofstream file(outPath);
    file << out.str();
    return file ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::string(argv[1]) == "idl") {
        Description d = ParseDescription(argv[2]);
        std::string dir = argv[3], base = argv[4];
        WriteHeader(d, dir + "/" + base + "_i.h", base);
        WriteDispatch(d, dir + "/" + base + "_dispatch.cpp", base);
        std::ofstream tlb(dir + "/" + base + ".tlb", std::ios::binary);
        tlb << wtlb::Serialize(d.lib);
        return tlb ? 0 : 1;
    }
    if (argc >= 3 && std::string(argv[1]) == "resources")
        return Resources(argc, argv);
    std::cerr << "usage: tlbgen idl DESCRIPTION OUTDIR BASENAME\n"
                 "       tlbgen resources OUT.cpp TYPE:ID:FILE... STRINGTABLE:FILE\n";
    return 2;
}
