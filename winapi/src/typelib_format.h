// The type-library file format of this layer ("WTLB"), shared by the generator and the loader.
//
// All numbers little-endian. File: "WTLB", u32 format version 1, then the library record:
//   GUID libid, u16 major, u16 minor, u32 lcid, str name, str help, u32 type count, types.
// Type: u8 kind (TYPEKIND), GUID, str name, str help, u32 flags (kTypeDual...), u32 member
// count, members. Member: i32 id (DISPID; for an enum the value; for a coclass the
// implementation flags), u8 invoke kind (INVOKE_FUNC/INVOKE_PROPERTYGET; 0 for enum values and
// coclass entries), str name (for a coclass: the interface's name), str help, u16 result type
// (VT_EMPTY when there is no [out, retval]), u32 parameter count, parameters.
// Parameter: u16 VARTYPE (VT_BYREF for [out]), u8 flags (kParamIn/Out/Retval), str name.
// GUID: u32, u16, u16, 8 bytes. str: u32 byte count and UTF-8 text.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace wtlb {

inline constexpr char kMagic[4] = {'W', 'T', 'L', 'B'};
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr uint32_t kTypeDual = 1;
inline constexpr uint32_t kTypeOleAutomation = 2;
inline constexpr uint32_t kImplDefault = 1;
inline constexpr uint32_t kImplSource = 2;
inline constexpr uint8_t kParamIn = 1;
inline constexpr uint8_t kParamOut = 2;
inline constexpr uint8_t kParamRetval = 4;
// Limits that a damaged file cannot exceed.
inline constexpr uint32_t kMaxCount = 4096;
inline constexpr uint32_t kMaxStringBytes = 65536;

struct Guid {
    uint32_t d1 = 0;
    uint16_t d2 = 0, d3 = 0;
    uint8_t d4[8] = {};
};

struct Param {
    uint16_t vt = 0;
    uint8_t flags = 0;
    std::string name;
};

struct Member {
    int32_t id = 0;
    uint8_t invokeKind = 0;
    std::string name;
    std::string help;
    uint16_t resultType = 0;
    std::vector<Param> params;
};

struct Type {
    uint8_t kind = 0;
    Guid guid;
    std::string name;
    std::string help;
    uint32_t flags = 0;
    std::vector<Member> members;
};

struct Library {
    Guid libid;
    uint16_t major = 0, minor = 0;
    uint32_t lcid = 0;
    std::string name;
    std::string help;
    std::vector<Type> types;
};

class Writer {
public:
    std::string bytes;
    void U8(uint8_t v) { bytes.push_back(static_cast<char>(v)); }
    void U16(uint16_t v) {
        U8(v & 0xFF);
        U8(v >> 8);
    }
    void U32(uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Str(const std::string& s) {
        U32(static_cast<uint32_t>(s.size()));
        bytes += s;
    }
    void G(const Guid& g) {
        U32(g.d1);
        U16(g.d2);
        U16(g.d3);
        for (uint8_t b : g.d4)
            U8(b);
    }
};

inline std::string Serialize(const Library& lib) {
    Writer w;
    w.bytes.append(kMagic, 4);
    w.U32(kFormatVersion);
    w.G(lib.libid);
    w.U16(lib.major);
    w.U16(lib.minor);
    w.U32(lib.lcid);
    w.Str(lib.name);
    w.Str(lib.help);
    w.U32(static_cast<uint32_t>(lib.types.size()));
    for (const auto& t : lib.types) {
        w.U8(t.kind);
        w.G(t.guid);
        w.Str(t.name);
        w.Str(t.help);
        w.U32(t.flags);
        w.U32(static_cast<uint32_t>(t.members.size()));
        for (const auto& m : t.members) {
            w.U32(static_cast<uint32_t>(m.id));
            w.U8(m.invokeKind);
            w.Str(m.name);
            w.Str(m.help);
            w.U16(m.resultType);
            w.U32(static_cast<uint32_t>(m.params.size()));
            for (const auto& p : m.params) {
                w.U16(p.vt);
                w.U8(p.flags);
                w.Str(p.name);
            }
        }
    }
    return w.bytes;
}

class Reader {
public:
    Reader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), n_(size) {}
    bool ok = true;
    uint8_t U8() {
        if (at_ + 1 > n_) {
            ok = false;
            return 0;
        }
        return p_[at_++];
    }
    uint16_t U16() {
        uint16_t lo = U8();
        return static_cast<uint16_t>(lo | (U8() << 8));
    }
    uint32_t U32() {
        uint32_t lo = U16();
        return lo | (static_cast<uint32_t>(U16()) << 16);
    }
    std::string Str() {
        uint32_t len = U32();
        if (!ok || len > kMaxStringBytes || at_ + len > n_) {
            ok = false;
            return {};
        }
        std::string s(reinterpret_cast<const char*>(p_ + at_), len);
        at_ += len;
        return s;
    }
    Guid G() {
        Guid g;
        g.d1 = U32();
        g.d2 = U16();
        g.d3 = U16();
        for (auto& b : g.d4)
            b = U8();
        return g;
    }
    uint32_t Count() {
        uint32_t c = U32();
        if (c > kMaxCount)
            ok = false;
        return ok ? c : 0;
    }
    size_t Position() const { return at_; }

private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
};

// The library a file holds, or nothing when it is not a well-formed WTLB file.
inline std::optional<Library> Parse(const void* data, size_t size) {
    if (size < 8 || std::memcmp(data, kMagic, 4) != 0)
        return std::nullopt;
    Reader r(static_cast<const char*>(data) + 4, size - 4);
    if (r.U32() != kFormatVersion)
        return std::nullopt;
    Library lib;
    lib.libid = r.G();
    lib.major = r.U16();
    lib.minor = r.U16();
    lib.lcid = r.U32();
    lib.name = r.Str();
    lib.help = r.Str();
    uint32_t types = r.Count();
    for (uint32_t i = 0; i < types && r.ok; ++i) {
        Type t;
        t.kind = r.U8();
        t.guid = r.G();
        t.name = r.Str();
        t.help = r.Str();
        t.flags = r.U32();
        uint32_t members = r.Count();
        for (uint32_t j = 0; j < members && r.ok; ++j) {
            Member m;
            m.id = static_cast<int32_t>(r.U32());
            m.invokeKind = r.U8();
            m.name = r.Str();
            m.help = r.Str();
            m.resultType = r.U16();
            uint32_t params = r.Count();
            for (uint32_t k = 0; k < params && r.ok; ++k) {
                Param p;
                p.vt = r.U16();
                p.flags = r.U8();
                p.name = r.Str();
                m.params.push_back(std::move(p));
            }
            t.members.push_back(std::move(m));
        }
        lib.types.push_back(std::move(t));
    }
    if (!r.ok)
        return std::nullopt;
    return lib;
}

}  // namespace wtlb
