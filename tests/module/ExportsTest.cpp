// What liboamsdk.so exports of the classes it shares with Corbex: the
// inline members of Base64 and CMD5 and CFunction's copy assignment are
// defined there, everything else of those classes only in libcorbex.so,
// which in turn needs nothing from liboamsdk.so. The exported copies are
// called through dlsym to see that they are the real thing.
#include <cxxabi.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "Corbex.h"
#include "CorbexAccess.h"

namespace oamtest {
namespace {

// Under ctest the build directory is given; otherwise lib/ is beside bin/.
std::string LibDir() {
    if (const char* build = getenv("OAMSDK_TEST_BINARY_DIR")) return std::string(build) + "/lib";
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path(exe, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.find_last_of('/')) + "/../lib";
}

std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::string Demangle(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> d(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), free);
    return status == 0 && d ? std::string(d.get()) : name;
}

// Demangled name -> mangled name of the dynamic symbols nm lists.
std::map<std::string, std::string> DynamicSymbols(const std::string& lib, const char* which) {
    std::map<std::string, std::string> syms;
    const std::string out = Shell("nm -D " + std::string(which) + " " + lib + " 2>/dev/null");
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        const size_t sp = line.find_last_of(' ');
        std::string name = line.substr(sp + 1);
        const size_t at = name.find('@');
        if (at != std::string::npos) name.resize(at);
        if (!name.empty()) syms[Demangle(name)] = name;
    }
    return syms;
}

const char* const kInlineExports[] = {
    "Base64::calculateBase64Len(unsigned int)",
    "Base64::calculateBinLen(unsigned int)",
    "Base64::decode64(unsigned char)",
    "Base64::Base64()",
    "Base64::~Base64()",
    "Base64::operator=(Base64 const&)",
    "CMD5::F(unsigned int, unsigned int, unsigned int)",
    "CMD5::G(unsigned int, unsigned int, unsigned int)",
    "CMD5::H(unsigned int, unsigned int, unsigned int)",
    "CMD5::I(unsigned int, unsigned int, unsigned int)",
    "CMD5::MD5STEP(unsigned int (*)(unsigned int, unsigned int, unsigned int), unsigned int&, unsigned int, "
    "unsigned int, unsigned int, unsigned int, unsigned int)",
    "CMD5::CMD5(CMD5 const&)",
    "CMD5::operator=(CMD5 const&)",
    "CFunction::operator=(CFunction const&)",
};

const char* const kCorbexOnly[] = {
    "CFunction::RLog(char const*, ...)",
    "CFunction::DLog(char const*, ...)",
    "CFunction::GetLastErrorString()",
    "CFunction::GetCurrentModuleDir()",
    "CFunction::SetSinkHook(int, void (*)(int, char const*, void*), void*)",
    "Base64::base64ToBin(char const*, unsigned char*, int)",
    "CMD5::CMD5()",
    "CMD5::~CMD5()",
    "CMD5::DigestBinary(unsigned char const*, unsigned int, CString&)",
    "CorbexGetThreadError",
    "CorbexSetThreadError",
};

class Exports : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = dlopen((LibDir() + "/liboamsdk.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        oamsdk_ = DynamicSymbols(LibDir() + "/liboamsdk.so", "--defined-only");
        corbex_ = DynamicSymbols(LibDir() + "/libcorbex.so", "--defined-only");
    }
    template <typename Fn>
    static Fn Sym(const char* demangled) {
        auto it = oamsdk_.find(demangled);
        if (it == oamsdk_.end()) return nullptr;
        return reinterpret_cast<Fn>(dlsym(module_, it->second.c_str()));
    }
    static void* module_;
    static std::map<std::string, std::string> oamsdk_, corbex_;
};

void* Exports::module_;
std::map<std::string, std::string> Exports::oamsdk_, Exports::corbex_;

TEST_F(Exports, ModuleDefinesTheInlineMembers) {
    ASSERT_NE(nullptr, module_) << dlerror();
    ASSERT_FALSE(oamsdk_.empty()) << "nm gave nothing";
    for (const char* name : kInlineExports) EXPECT_EQ(1u, oamsdk_.count(name)) << name;
}

TEST_F(Exports, EverythingElseOfTheClassesComesFromCorbex) {
    for (const char* name : kCorbexOnly) {
        EXPECT_EQ(0u, oamsdk_.count(name)) << name;
        EXPECT_EQ(1u, corbex_.count(name)) << name;
    }
    // Nothing else of the three classes, e.g. CFunction's constructor.
    const std::set<std::string> allowed(std::begin(kInlineExports), std::end(kInlineExports));
    for (const auto& s : oamsdk_) {
        const std::string& n = s.first;
        if (n.rfind("Base64::", 0) == 0 || n.rfind("CMD5::", 0) == 0 || n.rfind("CFunction::", 0) == 0) {
            EXPECT_EQ(1u, allowed.count(n)) << "unexpected export " << n;
        }
    }
}

TEST_F(Exports, CorbexNeedsNothingFromTheModule) {
    const std::string needed = Shell("readelf -d " + LibDir() + "/libcorbex.so");
    ASSERT_NE(std::string::npos, needed.find("NEEDED"));
    EXPECT_EQ(std::string::npos, needed.find("liboamsdk"));
    for (const auto& u : DynamicSymbols(LibDir() + "/libcorbex.so", "--undefined-only")) {
        if (corbex_.count(u.first)) continue;
        EXPECT_EQ(0u, oamsdk_.count(u.first)) << "libcorbex.so uses " << u.first;
    }
}

TEST_F(Exports, ExportedHelpersComputeTheirResults) {
    auto base64Len = Sym<int (*)(unsigned)>("Base64::calculateBase64Len(unsigned int)");
    auto binLen = Sym<int (*)(unsigned)>("Base64::calculateBinLen(unsigned int)");
    auto decode64 = Sym<char (*)(unsigned char)>("Base64::decode64(unsigned char)");
    ASSERT_TRUE(base64Len && binLen && decode64);
    const struct {
        unsigned n;
        int text, bin;
    } lens[] = {{0, 1, 0}, {1, 5, 0}, {3, 5, 0}, {4, 9, 3}, {8, 13, 6}, {300, 401, 225}};
    for (const auto& l : lens) {
        EXPECT_EQ(l.text, base64Len(l.n)) << l.n;
        EXPECT_EQ(l.bin, binLen(l.n)) << l.n;
    }
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int c = 0; c < 256; ++c) {
        const size_t pos = alphabet.find(static_cast<char>(c));
        const int expected = (c != 0 && pos != std::string::npos) ? static_cast<int>(pos) : -1;
        EXPECT_EQ(expected, static_cast<signed char>(decode64(static_cast<unsigned char>(c)))) << c;
    }

    typedef uint32_t (*Aux)(uint32_t, uint32_t, uint32_t);
    // Bit i of x, y, z walks through all eight input rows, so each result
    // byte is the function's truth table (F: x ? y : z, G: z ? x : y,
    // H: parity, I: y xor (x or not z)).
    const uint32_t x = 0xF0F0F0F0u, y = 0xCCCCCCCCu, z = 0xAAAAAAAAu;
    const struct {
        const char* name;
        uint32_t table;
    } aux[] = {{"CMD5::F(unsigned int, unsigned int, unsigned int)", 0xCACACACAu},
               {"CMD5::G(unsigned int, unsigned int, unsigned int)", 0xE4E4E4E4u},
               {"CMD5::H(unsigned int, unsigned int, unsigned int)", 0x96969696u},
               {"CMD5::I(unsigned int, unsigned int, unsigned int)", 0x39393939u}};
    for (const auto& a : aux) {
        Aux f = Sym<Aux>(a.name);
        ASSERT_TRUE(f) << a.name;
        EXPECT_EQ(a.table, f(x, y, z)) << a.name;
    }

    auto step = Sym<void (*)(Aux, uint32_t&, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>(
        kInlineExports[10]);
    ASSERT_TRUE(step);
    Aux h = Sym<Aux>("CMD5::H(unsigned int, unsigned int, unsigned int)");
    uint32_t w = 0x80000001u;
    step(h, w, 0, 0, 0, 0, 33);  // rotate by 33 mod 32 = 1, then add x = 0
    EXPECT_EQ(0x00000003u, w);
    w = 0xFFFFFFFFu;
    step(h, w, 1, 0, 0, 1, 4);  // (0xFFFFFFFF + 1 + 1) wraps to 1, << 4, + 1
    EXPECT_EQ(0x11u, w);
}

TEST_F(Exports, ExportedCMD5CopiesCarryTheState) {
    auto copyCtor = Sym<void (*)(CMD5*, const CMD5*)>("CMD5::CMD5(CMD5 const&)");
    auto assign = Sym<CMD5* (*)(CMD5*, const CMD5*)>("CMD5::operator=(CMD5 const&)");
    ASSERT_TRUE(copyCtor && assign);
    CMD5 src;
    for (int i = 0; i < 7; ++i) CMD5Access::State(src)[i] = 0x01010101u * static_cast<uint32_t>(i + 1);
    for (int i = 0; i < 64; ++i) CMD5Access::Block(src)[i] = static_cast<unsigned char>(0xC0 ^ i);

    alignas(CMD5) unsigned char raw[sizeof(CMD5)];
    copyCtor(reinterpret_cast<CMD5*>(raw), &src);
    CMD5* constructed = reinterpret_cast<CMD5*>(raw);
    EXPECT_EQ(0, memcmp(CMD5Access::State(src), CMD5Access::State(*constructed), 28));
    EXPECT_EQ(0, memcmp(CMD5Access::Block(src), CMD5Access::Block(*constructed), 64));
    constructed->~CMD5();  // the vtable the copy set up works

    CMD5 dst;
    EXPECT_EQ(&dst, assign(&dst, &src));
    EXPECT_EQ(0, memcmp(CMD5Access::State(src), CMD5Access::State(dst), 28));
    EXPECT_EQ(0, memcmp(CMD5Access::Block(src), CMD5Access::Block(dst), 64));
}

}  // namespace
}  // namespace oamtest
