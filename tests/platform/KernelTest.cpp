// Kernel services: the recursive critical section, Sleep, the per-thread
// error slot, and the whole-file calls with their paths, sharing and codes.
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "oam_string.h"
#include "oam_win.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

bool MakeDir(const std::string& path) {
    std::error_code ec;
    return std::filesystem::create_directory(path, ec);
}

// A fresh directory per test, removed with its files afterwards.
class Files : public ::testing::Test {
protected:
    void SetUp() override {
        dir = oamtest::MakeTempDir("oamsdk-files");
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        OamSetACP(0);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string Path(const std::string& name) const { return dir + "/" + name; }

    HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    bool WriteAll(HANDLE h, const std::string& data) {
        DWORD n = 0;
        return WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, nullptr) && n == data.size();
    }
    std::string ReadAll(HANDLE h) {
        std::string out(GetFileSize(h, nullptr), '\0');
        DWORD n = 0;
        if (!ReadFile(h, &out[0], static_cast<DWORD>(out.size()), &n, nullptr)) return "<failed>";
        out.resize(n);
        return out;
    }

    std::string dir;
};

}  // namespace

// ---- critical section --------------------------------------------------------
TEST(CriticalSection, RecursiveForTheOwnerExclusiveForOthers) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // the owner takes it again
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    auto tryOther = [&] {
        BOOL got = FALSE;
        std::thread([&] {
            got = TryEnterCriticalSection(&cs);
            if (got) LeaveCriticalSection(&cs);
        }).join();
        return got;
    };
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(tryOther()) << "still held once";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(tryOther());
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, SerialisesThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;  // plain on purpose: only the lock protects it
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t) {
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(80000, counter);
    DeleteCriticalSection(&cs);
}

TEST(Kernel, SleepWaitsAtLeastTheTimeAndErrorsArePerThread) {
    auto t0 = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
    Sleep(0);

    SetLastError(1234);
    std::thread([] {
        EXPECT_EQ(0u, GetLastError());
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }).join();
    OAM_SKIP_ON_WINDOWS("the system's calls behind creating and joining a thread may change the last error");
    EXPECT_EQ(1234u, GetLastError());
    EXPECT_EQ(1234, win::WSAGetLastError()) << "one slot for both";
}

// ---- files --------------------------------------------------------------------
TEST_F(Files, BackslashSeparatesDirectories) {
    ASSERT_TRUE(MakeDir(Path("sub")));
    std::string winPath = dir + "\\sub\\data.bin";
    std::string payload("a\0b\xff", 4);
    HANDLE h = Open(winPath, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_NE(nullptr, h);
    EXPECT_TRUE(WriteAll(h, payload));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(payload, Slurp(Path("sub/data.bin")));

    h = Open(winPath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD high = 7;
    EXPECT_EQ(4u, GetFileSize(h, &high));
    EXPECT_EQ(0u, high);
    EXPECT_EQ(payload, ReadAll(h));
    // At the end of the file a read succeeds with nothing.
    char c;
    DWORD n = 9;
    EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Files, DoubleByteTrailBackslashIsPartOfTheName) {
    OAM_SKIP_ON_WINDOWS("Windows reads path names in its own ANSI code page, whatever OamSetACP says");
    ASSERT_TRUE(OamSetACP(932));
    // 0x95 0x5C is one character in code page 932; only the real "\" splits.
    std::string name = "\x95\x5c.txt";
    ASSERT_TRUE(MakeDir(Path("d")));
    HANDLE h = Open(dir + "\\d\\" + name, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_TRUE(Exists(Path("d/" + name)));
}

struct OpenErrorCase {
    const char* what;
    const char* path;  // relative to the test directory; "existing" exists
    DWORD access;
    DWORD disposition;
    DWORD error;
};

std::ostream& operator<<(std::ostream& os, const OpenErrorCase& c) {
    return os << c.what;
}

class FileOpenErrors : public Files, public ::testing::WithParamInterface<OpenErrorCase> {};

TEST_P(FileOpenErrors, GiveKernelCodes) {
    const OpenErrorCase& c = GetParam();
    HANDLE h = Open(Path("existing"), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    if (c.disposition == TRUNCATE_EXISTING && !(c.access & GENERIC_WRITE)) {
        OAM_SKIP_UNDER_WINE("Wine truncates on TRUNCATE_EXISTING without write access");
    }
    SetLastError(0);
    h = Open(Path(c.path), c.access, FILE_SHARE_READ, c.disposition);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileOpenErrors,
    ::testing::Values(
        OpenErrorCase{"missing file", "nothing", GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        OpenErrorCase{"missing directory", "no/such", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        OpenErrorCase{"create in missing directory", "no/such", GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        OpenErrorCase{"create new over existing", "existing", GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
        OpenErrorCase{"truncate without write access", "existing", GENERIC_READ, TRUNCATE_EXISTING,
                      ERROR_INVALID_PARAMETER},
        OpenErrorCase{"unknown disposition", "existing", GENERIC_READ, 99, ERROR_INVALID_PARAMETER},
        OpenErrorCase{"a directory", ".", GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<OpenErrorCase>& i) { return "case" + std::to_string(i.index); });

TEST_F(Files, CreateDispositionsReportWhetherTheFileExisted) {
    HANDLE h = Open(Path("f"), GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_TRUE(WriteAll(h, "0123456789"));
    CloseHandle(h);
    h = Open(Path("f"), GENERIC_WRITE, 0, OPEN_ALWAYS);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    CloseHandle(h);
    EXPECT_EQ("0123456789", Slurp(Path("f"))) << "OPEN_ALWAYS keeps the contents";
    h = Open(Path("f"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_TRUE(WriteAll(h, "ab"));
    CloseHandle(h);
    EXPECT_EQ("ab", Slurp(Path("f"))) << "CREATE_ALWAYS truncates";
}

TEST_F(Files, SharingConflictsAndTheyNeverTruncate) {
    HANDLE excl = Open(Path("f"), GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, excl);
    ASSERT_TRUE(WriteAll(excl, "keep me"));

    struct Attempt {
        DWORD access, share, disposition;
    } attempts[] = {{GENERIC_READ, 0, OPEN_EXISTING},
                    {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING},
                    {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING},
                    {GENERIC_WRITE, 0, CREATE_ALWAYS},
                    {GENERIC_WRITE, FILE_SHARE_READ, TRUNCATE_EXISTING}};
    for (const Attempt& a : attempts) {
        SetLastError(0);
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("f"), a.access, a.share, a.disposition)) << a.share;
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    }
    EXPECT_FALSE(DeleteFileA(Path("f").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());

    EXPECT_TRUE(CloseHandle(excl));
    EXPECT_EQ("keep me", Slurp(Path("f")));
    // Readers that share reading coexist; a writer without sharing does not.
    HANDLE r1 = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    HANDLE r2 = Open(Path("f"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, r1);
    EXPECT_NE(INVALID_HANDLE_VALUE, r2);
    EXPECT_NE(r1, r2);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(Path("f"), GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    CloseHandle(r1);
    CloseHandle(r2);
    EXPECT_TRUE(DeleteFileA(Path("f").c_str()));
    EXPECT_FALSE(Exists(Path("f")));
}

TEST_F(Files, ClosedAndBogusHandlesAreRefused) {
    OAM_SKIP_ON_WINDOWS("Windows reuses the values of closed handles");
    HANDLE h = Open(Path("f"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_TRUE(CloseHandle(h));
    HANDLE other = Open(Path("g"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_NE(h, other) << "handle values are not reused";
    char buf[4];
    DWORD n;
    for (HANDLE bad : {h, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(&n)}) {
        SetLastError(0);
        EXPECT_FALSE(ReadFile(bad, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        EXPECT_FALSE(WriteFile(bad, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(bad, nullptr));
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    }
    EXPECT_TRUE(WriteAll(other, "still mine"));
    CloseHandle(other);
    EXPECT_EQ("still mine", Slurp(Path("g")));
}

TEST_F(Files, DeleteAndMove) {
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA(Path("missing").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_FALSE(DeleteFileA(Path("no\\such").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());

    for (const char* name : {"a", "b"}) {
        HANDLE h = Open(Path(name), GENERIC_WRITE, 0, CREATE_NEW);
        WriteAll(h, name);
        CloseHandle(h);
    }
    EXPECT_FALSE(MoveFileExA(Path("a").c_str(), Path("b").c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("a", Slurp(Path("a")));
    EXPECT_TRUE(MoveFileExA(Path("a").c_str(), Path("b").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(Exists(Path("a")));
    EXPECT_EQ("a", Slurp(Path("b")));
    EXPECT_TRUE(MoveFileExA((dir + "\\b").c_str(), Path("c").c_str(), 0));
    EXPECT_EQ("a", Slurp(Path("c")));
    EXPECT_FALSE(MoveFileExA(Path("b").c_str(), Path("d").c_str(), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(Files, NeverStdioDescriptors) {
    OAM_SKIP_ON_WINDOWS("file handles are not descriptor numbers on Windows");
    // Had the file landed on descriptor 1, a write to stdout would reach it.
    const bool ok = oamtest::InChildWithoutStdio([&] {
        HANDLE h = CreateFileA(Path("f").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        const bool wrote = h != INVALID_HANDLE_VALUE && WriteFile(h, "x", 1, &n, nullptr) && n == 1;
        const bool stdioClosed = oamtest::StdioClosed();
        CloseHandle(h);
        return wrote && stdioClosed;
    });
    EXPECT_TRUE(ok);
    EXPECT_EQ("x", Slurp(Path("f")));
}

}  // namespace oamtest
