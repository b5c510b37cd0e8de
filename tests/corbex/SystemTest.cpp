// Last-error text and the module directory.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "Corbex.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

std::string ErrorText(uint32_t code) {
    CorbexSetThreadError(code);
    return CFunction::GetLastErrorString().str();
}

bool Mentions(const std::string& text, const std::string& word) {
    std::string lower;
    for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower.find(word) != std::string::npos;
}

TEST(LastErrorString, NamesTheCause) {
    struct {
        uint32_t code;
        const char* word;
    } const table[] = {
        {WSAECONNRESET, "reset"},           {WSAETIMEDOUT, "timed out"},    {WSAECONNREFUSED, "refused"},
        {WSAECONNABORTED, "abort"},          {WSAENOTCONN, "not connected"}, {WSAESHUTDOWN, "shutdown"},
        {WSAEWOULDBLOCK, "block"},           {WSAENOTSOCK, "not a socket"},  {WSAEMSGSIZE, "too long"},
        {WSAHOST_NOT_FOUND, "host not found"}, {WSAVERNOTSUPPORTED, "version"}, {WSASYSNOTREADY, "unavailable"},
        {ERROR_FILE_NOT_FOUND, "not found"}, {ERROR_ACCESS_DENIED, "denied"}, {ERROR_DISK_FULL, "full"},
    };
    for (const auto& row : table) EXPECT_TRUE(Mentions(ErrorText(row.code), row.word)) << row.code << ": " << ErrorText(row.code);
}

TEST(LastErrorString, EveryWindowsSocketsCodeHasItsOwnText) {
    const uint32_t codes[] = {WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK,
                              WSAEINPROGRESS, WSAEALREADY, WSAENOTSOCK, WSAEDESTADDRREQ, WSAEMSGSIZE, WSAEPROTOTYPE,
                              WSAENOPROTOOPT, WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP, WSAEPFNOSUPPORT,
                              WSAEAFNOSUPPORT, WSAEADDRINUSE, WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH,
                              WSAENETRESET, WSAECONNABORTED, WSAECONNRESET, WSAENOBUFS, WSAEISCONN, WSAENOTCONN,
                              WSAESHUTDOWN, WSAETIMEDOUT, WSAECONNREFUSED, WSAEHOSTDOWN, WSAEHOSTUNREACH,
                              WSASYSNOTREADY, WSAVERNOTSUPPORTED, WSANOTINITIALISED, WSAHOST_NOT_FOUND, WSATRY_AGAIN,
                              WSANO_RECOVERY, WSANO_DATA};
    std::set<std::string> seen;
    for (uint32_t code : codes) {
        const std::string text = ErrorText(code);
        EXPECT_FALSE(Mentions(text, "unknown")) << code;
        EXPECT_TRUE(seen.insert(text).second) << code << " repeats " << text;
    }
}

TEST(LastErrorString, UnknownCodeIsNamedByNumber) {
    EXPECT_TRUE(Mentions(ErrorText(12345), "12345"));
    EXPECT_TRUE(Mentions(ErrorText(0xFFFFFFFFu), "4294967295"));
}

TEST(LastErrorString, ReadsTheCallingThreadsCode) {
    CorbexSetThreadError(WSAECONNRESET);
    std::string other;
    std::thread([&] {
        CorbexSetThreadError(WSAETIMEDOUT);
        other = CFunction::GetLastErrorString().str();
    }).join();
    EXPECT_EQ(ErrorText(WSAETIMEDOUT), other);
    CorbexSetThreadError(WSAECONNRESET);
    EXPECT_TRUE(Mentions(CFunction::GetLastErrorString().str(), "reset"));
    EXPECT_EQ(WSAECONNRESET, static_cast<int>(CorbexGetThreadError()));  // reading leaves it alone
}

class ModuleDir : public ::testing::Test {
protected:
    void TearDown() override { oamtest::UnsetEnv("OAMSDK_MODULE_DIR"); }
};

std::string RealPath(const std::string& p) {
    std::error_code ec;
    std::filesystem::path real = std::filesystem::canonical(p, ec);
    return ec ? std::string() : real.string();
}

TEST_F(ModuleDir, DefaultIsTheDirectoryHoldingLibcorbex) {
    oamtest::UnsetEnv("OAMSDK_MODULE_DIR");
    const std::string dir = CFunction::GetCurrentModuleDir().str();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE('/', dir.back());
    EXPECT_NE('\\', dir.back());
    const char* library = oamtest::kWindows ? "libcorbex.dll" : "libcorbex.so";
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / library)) << dir;
    const char* build = getenv("OAMSDK_TEST_BINARY_DIR");
    if (build) {
        EXPECT_EQ(RealPath(std::string(build) + "/lib"), RealPath(dir));
    }
}

TEST_F(ModuleDir, EnvironmentOverridesWithoutTrailingSeparator) {
    const std::string def = CFunction::GetCurrentModuleDir().str();
    struct {
        const char* env;
        const char* dir;
    } const table[] = {{"/tmp/oam-files", "/tmp/oam-files"}, {"/tmp/oam-files/", "/tmp/oam-files"},
                       {"/tmp/oam-files//", "/tmp/oam-files"}, {"C:\\data\\", "C:\\data"},
                       {"relative/dir", "relative/dir"}};
    for (const auto& row : table) {
        oamtest::SetEnv("OAMSDK_MODULE_DIR", row.env);
        EXPECT_EQ(row.dir, CFunction::GetCurrentModuleDir().str()) << row.env;
    }
    oamtest::SetEnv("OAMSDK_MODULE_DIR", "");  // empty means not set
    EXPECT_EQ(def, CFunction::GetCurrentModuleDir().str());
}

}  // namespace
}  // namespace oamtest
