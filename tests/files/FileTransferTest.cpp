// SendFile and ReceiveFile against a fake management server on loopback.
// The server checks uploads independently (OpenSSL's MD5, Python's
// zipfile) and serves downloads built by other tools, whole and damaged.

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <ostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "FakeServer.h"
#include "LogCapture.h"
#include "ZipTool.h"
#include "TestReference.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

std::string Md5Hex(const std::string& bytes) {
    return HexOf(ReferenceMd5(bytes.data(), bytes.size()));
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Reply(const std::string& request, int code, const std::string& rest = "") {
    return oamtest::Reply(SessionText(request), code, rest);
}

// Answers whatever else comes with 0, until the client goes away or the
// server stops.
void Linger(FakeConn& c) {
    for (std::string r; !(r = c.readRequest(30000)).empty();) c.write(Reply(r, 0));
}

const std::string kContent = oamtest::SemiCompressible(150000, 21);

class FileTransfer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.ok()); }
    bool WaitLogged(int sink, const std::string& text) { return m_logs.waitLogged(sink, text); }
    std::vector<std::string> Log(int sink) { return m_logs.texts(sink); }
    bool Logged(int sink, const std::string& text, bool exact = false) { return m_logs.logged(sink, text, exact); }
    void Connect(FakeServer& server, DWORD recvTimeoutMs = 5000) {
        ASSERT_TRUE(server.ok());
        ASSERT_EQ(m_sock.Create(server.port(), "127.0.0.1"), 1);
        ASSERT_EQ(win::setsockopt(m_sock.GetSocket(), SOL_SOCKET, SO_RCVTIMEO,
                                  reinterpret_cast<const char*>(&recvTimeoutMs), sizeof recvTimeoutMs),
                  0);
    }
    // A command from another thread gets through: the channel lock is free.
    void ExpectLockFree() {
        auto f = std::async(std::launch::async, [this] { return m_sock.SendCommand("2", "Ping", ""); });
        EXPECT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    }

    ModuleDir m_dir;
    LogCapture m_logs;
    CClientSocket m_sock;
};

// ---- upload ------------------------------------------------------------------

struct Upload {
    std::string request, archive;
    bool gotAll = false;
    std::chrono::steady_clock::duration wait{};  // from the first reply to the archive's end
};

// Takes one "FileSet" and its archive, answers finalCode, then answers
// whatever follows with 0. The final reply waits until the client has read
// the first one: with no archive bytes between them, a single read could
// otherwise take both.
FakeServer::Handler UploadServer(Upload& seen, int finalCode, std::function<bool()> firstReplyRead) {
    return [&seen, finalCode, firstReplyRead](FakeConn& c) {
        seen.request = c.readRequest(10000);
        c.write(Reply(seen.request, 0));
        const auto replied = std::chrono::steady_clock::now();
        size_t len = strtoul(PairsOf(seen.request)["FILELEN"].c_str(), nullptr, 10);
        seen.gotAll = c.readExactly(len, seen.archive, 10000);
        seen.wait = std::chrono::steady_clock::now() - replied;
        firstReplyRead();
        c.write(Reply(seen.request, finalCode, finalCode ? "Disk full;" : ""));
        Linger(c);
    };
}

struct UploadCase {
    const char* label;
    std::string content;
    int finalCode;
};

void PrintTo(const UploadCase& c, std::ostream* os) { *os << c.label; }

class FileUpload : public FileTransfer, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(FileUpload, SendsTheAnnouncedArchiveOfTheFile) {
    const UploadCase& u = GetParam();
    ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file("cfg.ini"), u.content));
    Upload seen;
    FakeServer server(UploadServer(seen, u.finalCode, [this] { return WaitLogged(CFunction::SinkD, "Return:"); }));
    Connect(server);
    // Another command issued during the upload's pause waits for its end.
    std::future<int> other = std::async(std::launch::async, [&] {
        server.waitRequests(1, 10000);
        return m_sock.SendCommand("2", "Ping", "");
    });

    EXPECT_EQ(m_sock.SendFile("2", "cfg.ini"), 0);  // whatever the final code
    EXPECT_EQ(other.get(), 0);

    ASSERT_TRUE(seen.gotAll);
    // The server gets a second to make ready for the raw bytes.
    EXPECT_GE(seen.wait, std::chrono::milliseconds(950));
    std::map<std::string, std::string> p = PairsOf(seen.request);
    EXPECT_EQ(seen.request, "SESSIONID=0;STATIONID=2;CMD=FileSet;FILENAME=cfg.ini;FILELEN=" +
                                std::to_string(seen.archive.size()) + ";MD5=" + Md5Hex(seen.archive) + ";");
    std::vector<std::string> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_NE(reqs[1].find("CMD=Ping;"), std::string::npos);
    EXPECT_EQ(server.received(0), reqs[0] + seen.archive + reqs[1]);  // nothing in between

    std::vector<ZipItem> items;
    ASSERT_TRUE(oamtest::PythonUnzip(seen.archive, items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "FILE");
    EXPECT_FALSE(items[0].stored);
    EXPECT_TRUE(items[0].data == u.content);
}

INSTANTIATE_TEST_SUITE_P(
    Files, FileUpload,
    ::testing::Values(UploadCase{"Mixed", kContent, 0},
                      // Archives longer than their file: one byte, random bytes.
                      UploadCase{"OneByteRefusedAtTheEnd", "x", 5},
                      UploadCase{"Incompressible", oamtest::RandomBytes(100000, 5), 0}),
    [](const ::testing::TestParamInfo<UploadCase>& i) { return std::string(i.param.label); });

TEST_F(FileTransfer, UploadOfAnEmptyFileAnnouncesNoBytesAndSendsNone) {
    ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file("empty.ini"), ""));
    Upload seen;
    FakeServer server(UploadServer(seen, 0, [this] { return WaitLogged(CFunction::SinkD, "Return:"); }));
    Connect(server);
    EXPECT_EQ(m_sock.SendFile("2", "empty.ini"), 0);
    EXPECT_EQ(seen.request,
              "SESSIONID=0;STATIONID=2;CMD=FileSet;FILENAME=empty.ini;FILELEN=0;MD5=d41d8cd98f00b204e9800998ecf8427e;");
    EXPECT_EQ(server.received(0), seen.request);
}

enum class UploadFault { Missing, Locked, Over2GiB, Over4GiB, ShortRead, Refused, Silent, ResetAfterReply, CloseAfterArchive };

struct UploadFailure {
    const char* label;
    UploadFault fault;
    int expected;
    const char* rlog;  // a line of RLog; nullptr: no RLog line at all
    bool commandSent;
};

void PrintTo(const UploadFailure& c, std::ostream* os) { *os << c.label; }

class FileUploadFailure : public FileTransfer, public ::testing::WithParamInterface<UploadFailure> {};

TEST_P(FileUploadFailure, ReportsAndReleasesTheChannel) {
    const UploadFailure& f = GetParam();
    std::string name = "up.bin";
    if (f.fault != UploadFault::Missing) {
        ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file(name), kContent));
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    if (f.fault == UploadFault::Locked) {
        held = CreateFileA(m_dir.file(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
    } else if (f.fault == UploadFault::Over2GiB) {
        // Its archive may not fit the protocol's length: refused before any
        // of it is read (reading it would take 2 GiB of memory).
        std::filesystem::resize_file(m_dir.file(name), (1ULL << 31) - 1000);  // sparse on Linux
    } else if (f.fault == UploadFault::Over4GiB) {
        std::filesystem::resize_file(m_dir.file(name), (1ULL << 32) + 1);
    } else if (f.fault == UploadFault::ShortRead) {
        if (!oamtest::LinkToShortReadingFile(m_dir.file(name)))
            GTEST_SKIP() << (oamtest::kWindows ? "POSIX only: " : "") << "no file whose reads give less than its size";
    }

    UploadFault fault = f.fault;
    FakeServer server([fault](FakeConn& c) {
        for (std::string r; !(r = c.readRequest(10000)).empty();) {
            if (r.find("CMD=FileSet;") == std::string::npos) {
                c.write(Reply(r, 0));
            } else if (fault == UploadFault::Refused) {
                c.write(Reply(r, 3, "No space;"));
            } else if (fault == UploadFault::ResetAfterReply) {
                c.write(Reply(r, 0));
                c.reset();
            } else if (fault == UploadFault::CloseAfterArchive) {
                c.write(Reply(r, 0));
                std::string archive;
                c.readExactly(strtoul(PairsOf(r)["FILELEN"].c_str(), nullptr, 10), archive, 10000);
                c.closeConn();
            }  // Silent: no answer
        }
    });
    Connect(server, fault == UploadFault::Silent ? 1500 : 5000);
    std::atomic<int> breaks{0};
    m_sock.SetWnd(nullptr, [](LONG_PTR, LONG_PTR user) { ++*reinterpret_cast<std::atomic<int>*>(user); },
                  reinterpret_cast<LONG_PTR>(&breaks));

    EXPECT_EQ(m_sock.SendFile("2", name.c_str()), f.expected);
    // Only the refusal is the server's; every other failure is local.
    EXPECT_EQ(OamLastResultOrigin(), f.fault == UploadFault::Refused ? OAM_ORIGIN_SERVER : OAM_ORIGIN_LIBRARY);
    // A connection lost under the archive's send is a link break too.
    EXPECT_EQ(breaks, fault == UploadFault::ResetAfterReply ? 1 : 0);
    if (f.rlog) {
        EXPECT_TRUE(Logged(CFunction::SinkR, f.rlog, f.fault == UploadFault::Refused));
    } else {
        EXPECT_TRUE(Log(CFunction::SinkR).empty());
    }
    std::vector<std::string> reqs = server.requests();
    EXPECT_EQ(!reqs.empty() && reqs[0].find("CMD=FileSet;") != std::string::npos, f.commandSent);
    if (f.fault == UploadFault::Refused) {
        EXPECT_EQ(server.received(0), reqs[0]);  // no archive bytes
    }
    ExpectLockFree();
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FileUploadFailure,
    ::testing::Values(UploadFailure{"Missing", UploadFault::Missing, 1, "File Open Error:", false},
                      UploadFailure{"HeldOpen", UploadFault::Locked, 1, "File Open Error:", false},
                      UploadFailure{"Over2GiB", UploadFault::Over2GiB, 1, "File Too Large Error:", false},
                      UploadFailure{"Over4GiB", UploadFault::Over4GiB, 1, nullptr, false},
                      UploadFailure{"ShortRead", UploadFault::ShortRead, 1, "Read File Error:4096", false},
                      UploadFailure{"Refused", UploadFault::Refused, 1, "Send File Command Timeout", true},
                      UploadFailure{"NoReply", UploadFault::Silent, 1, "Send File Command Timeout", true},
                      UploadFailure{"SendFails", UploadFault::ResetAfterReply, -1, "Send File ROI Error:", true},
                      UploadFailure{"NoFinalReply", UploadFault::CloseAfterArchive, -1, "Command timeout:", true}),
    [](const ::testing::TestParamInfo<UploadFailure>& i) { return std::string(i.param.label); });

TEST_F(FileTransfer, UploadOfAMissingFileNamesTheBackslashJoinedPath) {
    FakeServer server([](FakeConn& c) { Linger(c); });
    Connect(server);
    EXPECT_EQ(m_sock.SendFile("2", "nothere.ini"), 1);
    EXPECT_TRUE(Logged(CFunction::SinkR, "File Open Error:" + m_dir.path() + "\\nothere.ini", true));
    EXPECT_EQ(server.received(0), "");
}

// ---- download ----------------------------------------------------------------

enum class Arc { Good, OtherName, TwoEntries, DirectoryFirst, ZipTool, Garbage, BadCrc, Bomb, None };
enum class Feed { Apart, SameWrite, SameWriteCrLf, ShortStay, ShortClose, Long, Flood, NoneClose, CloseAtRequest };

struct DownloadCase {
    const char* label;
    Arc arc;
    Feed feed;
    int code;                // RETURNCODE of the "FileGet" reply
    const char* lengthText;  // nullptr: the archive's length
    int digest;              // 0 right, 1 right in upper case, 2 wrong, 3 huge
    int expected;
    const char* log;         // RLog line part; for 0, the DLog line
    const char* pairs;       // nullptr: the usual three pairs
};

std::string MakeArchive(Arc arc) {
    std::string a;
    switch (arc) {
    case Arc::Good: return oamtest::PythonZip({{"cfg.ini", kContent}});
    case Arc::OtherName: return oamtest::PythonZip({{"other/name.txt", kContent}});
    case Arc::TwoEntries: return oamtest::PythonZip({{"one", kContent}, {"two", "second entry"}});
    case Arc::DirectoryFirst: return oamtest::PythonZip({{"somedir/", ""}, {"somedir/cfg.ini", kContent}});
    case Arc::ZipTool: return oamtest::ZipCommand("cfg.ini", kContent);
    case Arc::Garbage: return oamtest::RandomBytes(5000, 3);
    case Arc::BadCrc:
    case Arc::Bomb: {
        a = oamtest::PythonZip({{"cfg.ini", kContent}});
        oamtest::ZipLayout l = oamtest::FindZipLayout(a);
        if (arc == Arc::BadCrc) {
            uint32_t crc = oamtest::GetLE32(a, l.central + 16) ^ 0x80;
            oamtest::PutLE32(a, l.local + 14, crc);
            oamtest::PutLE32(a, l.central + 16, crc);
        } else {  // a few KiB claiming to unpack to 4 GiB - 2
            oamtest::PutLE32(a, l.local + 22, 0xFFFFFFFEu);
            oamtest::PutLE32(a, l.central + 24, 0xFFFFFFFEu);
        }
        return a;
    }
    case Arc::None: return a;
    }
    return a;
}

void PrintTo(const DownloadCase& c, std::ostream* os) { *os << c.label; }

class FileDownload : public FileTransfer, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(FileDownload, WritesTheFileWholeOrNotAtAll) {
    const DownloadCase& d = GetParam();
    std::string archive = MakeArchive(d.arc);
    ASSERT_TRUE(d.arc == Arc::None || !archive.empty());
    std::string digest = d.digest == 2 ? Md5Hex("other") : d.digest == 3 ? std::string(20000, 'a') : Md5Hex(archive);
    if (d.digest == 1) digest = Upper(digest);
    std::string length = d.lengthText ? d.lengthText : std::to_string(archive.size());
    std::string pairs = d.pairs ? d.pairs : "FileName=cfg.ini;FileLen=" + length + ";MD5=" + digest + ";";
    ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file("cfg.ini"), "old copy"));

    Feed feed = d.feed;
    int code = d.code;
    std::atomic<bool> floodOver{false};
    FakeServer server([&, feed, code](FakeConn& c) {
        std::string r = c.readRequest(10000);
        if (feed == Feed::CloseAtRequest) return;
        std::string reply = Reply(r, code, pairs);
        switch (feed) {
        case Feed::Apart: c.write(reply) && c.writeDelayed(archive, 30); break;
        case Feed::SameWrite: c.write(reply + archive); break;
        case Feed::SameWriteCrLf: c.write(reply + "\r\n" + archive); break;
        case Feed::ShortStay:
        case Feed::ShortClose: c.write(reply + archive.substr(0, archive.size() - 10)); break;
        case Feed::Long: c.write(reply) && c.writeDelayed(archive + "tail", 30); break;
        case Feed::Flood:  // the archive and more, without end
            if (c.write(reply) && c.writeDelayed(archive + std::string(60000, 'x'), 30)) {
                for (int i = 0; i < 2000 && c.write(std::string(60000, 'x')); ++i) {
                }
            }
            floodOver = true;
            break;
        default: c.write(reply); break;
        }
        if (feed == Feed::ShortClose || feed == Feed::NoneClose) return;
        Linger(c);
    });
    Connect(server, feed == Feed::ShortStay ? 1500 : 5000);

    EXPECT_EQ(m_sock.ReceiveFile("2", "cfg.ini"), d.expected);
    if (d.expected >= OAM_RECVFILE_NO_BUFFER) {
        EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    } else if (d.expected == 0 || d.expected == d.code) {
        EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_SERVER);
    }
    // Once the count passed the announced length the data phase stopped:
    // it did not read on to the end of what the server sent.
    EXPECT_FALSE(floodOver) << "the download read the whole flood";
    ASSERT_GE(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "SESSIONID=0;STATIONID=2;CMD=FileGet;FileName=cfg.ini;");
    std::string got;
    if (d.expected == 0) {
        EXPECT_TRUE(Logged(CFunction::SinkD, d.log, true));
        ASSERT_TRUE(oamtest::ReadFileBytes(m_dir.file("cfg.ini"), got));
        EXPECT_TRUE(got == (d.arc == Arc::None ? std::string() : kContent));
        EXPECT_EQ(m_dir.list(), std::vector<std::string>{"cfg.ini"});  // no temporary left
    } else {
        if (d.log) {
            EXPECT_TRUE(Logged(CFunction::SinkR, d.log));
        }
        EXPECT_FALSE(Logged(CFunction::SinkD, "File received ok"));
        EXPECT_TRUE(m_dir.list().empty());  // the old copy is gone, nothing new
    }
    ExpectLockFree();
    m_sock.Close();  // frees a server still writing
}

const char* const kOk = "File received ok:cfg.ini";

INSTANTIATE_TEST_SUITE_P(
    Cases, FileDownload,
    ::testing::Values(
        DownloadCase{"Whole", Arc::Good, Feed::Apart, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"EntryZeroOfAnotherName", Arc::OtherName, Feed::Apart, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"SecondEntryIgnored", Arc::TwoEntries, Feed::Apart, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"MadeByZipTool", Arc::ZipTool, Feed::Apart, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"DigestInUpperCase", Arc::Good, Feed::Apart, 0, nullptr, 1, 0, kOk, nullptr},
        DownloadCase{"ArchiveInTheReplysWrite", Arc::Good, Feed::SameWrite, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"ArchiveAfterALineEnd", Arc::Good, Feed::SameWriteCrLf, 0, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"OtherCodeWithPairs", Arc::Good, Feed::Apart, 5, nullptr, 0, 0, kOk, nullptr},
        DownloadCase{"EmptyFile", Arc::None, Feed::NoneClose, 0, "0", 0, 0, kOk, nullptr},
        DownloadCase{"ShortThenSilent", Arc::Good, Feed::ShortStay, 0, nullptr, 0, OAM_RECVFILE_BAD_LENGTH,
                     "Length Error", nullptr},
        DownloadCase{"ShortThenClosed", Arc::Good, Feed::ShortClose, 0, nullptr, 0, OAM_RECVFILE_BAD_LENGTH,
                     "Length Error", nullptr},
        DownloadCase{"Long", Arc::Good, Feed::Long, 0, nullptr, 0, OAM_RECVFILE_BAD_LENGTH, "Length Error", nullptr},
        DownloadCase{"EndlessSender", Arc::Good, Feed::Flood, 0, nullptr, 0, OAM_RECVFILE_BAD_LENGTH, "Length Error",
                     nullptr},
        DownloadCase{"WrongDigest", Arc::Good, Feed::Apart, 0, nullptr, 2, OAM_RECVFILE_BAD_DIGEST, "MD5 Error",
                     nullptr},
        DownloadCase{"NoArchive", Arc::Garbage, Feed::Apart, 0, nullptr, 0, OAM_RECVFILE_BAD_ARCHIVE, "Unpack Error",
                     nullptr},
        // A directory is not the file asked for, though it extracts "whole".
        DownloadCase{"DirectoryAsEntryZero", Arc::DirectoryFirst, Feed::Apart, 0, nullptr, 0, OAM_RECVFILE_BAD_ARCHIVE,
                     "Unpack Error:cfg.ini,entry 0 is a directory", nullptr},
        DownloadCase{"CrcError", Arc::BadCrc, Feed::Apart, 0, nullptr, 0, OAM_RECVFILE_BAD_ENTRY, "Extract Error",
                     nullptr},
        DownloadCase{"ZipBomb", Arc::Bomb, Feed::Apart, 0, nullptr, 0, OAM_RECVFILE_ENTRY_TOO_LARGE, "Entry Size",
                     nullptr},
        DownloadCase{"Announced4GiBMinus1", Arc::Good, Feed::Apart, 0, "4294967295", 0, OAM_RECVFILE_NO_BUFFER,
                     "Buffer Error", nullptr},
        DownloadCase{"AnnouncedNegative", Arc::Good, Feed::Apart, 0, "-1", 0, OAM_RECVFILE_NO_BUFFER, "Buffer Error",
                     nullptr},
        DownloadCase{"AnnouncedOverflowingInt", Arc::Good, Feed::Apart, 0, "99999999999999999999", 0,
                     OAM_RECVFILE_NO_BUFFER, "Buffer Error", nullptr},
        DownloadCase{"HugeDigestText", Arc::Good, Feed::Apart, 0, nullptr, 3, OAM_RECVFILE_BAD_DIGEST, "MD5 Error",
                     nullptr},
        DownloadCase{"Refused7", Arc::Good, Feed::Apart, 7, nullptr, 0, 7, nullptr, nullptr},
        DownloadCase{"Refused1", Arc::Good, Feed::Apart, 1, nullptr, 0, 1, nullptr, nullptr},
        DownloadCase{"TwoPairsOnly", Arc::Good, Feed::Apart, 0, nullptr, 0, 1, nullptr, "FileLen=10;MD5=x;"},
        DownloadCase{"NoReply", Arc::Good, Feed::CloseAtRequest, 0, nullptr, 0, 1, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<DownloadCase>& i) { return std::string(i.param.label); });

// Serves one whole download of kContent, then answers other commands.
FakeServer::Handler GoodDownload(const std::string& archive, std::atomic<bool>* replied = nullptr,
                                 std::atomic<bool>* interleaved = nullptr) {
    return [&archive, replied, interleaved](FakeConn& c) {
        std::string r = c.readRequest(10000);
        c.write(Reply(r, 0, "FileName=x;FileLen=" + std::to_string(archive.size()) + ";MD5=" + Md5Hex(archive) + ";"));
        if (replied) {
            *replied = true;
            // Whatever arrives now was sent while the archive was awaited.
            if (!c.readSome(500).empty()) *interleaved = true;
        }
        c.write(archive);
        Linger(c);
    };
}

struct LocalFailure {
    const char* label;
    const char* name;
    int expected;
    const char* rlog;
};

void PrintTo(const LocalFailure& c, std::ostream* os) { *os << c.label; }

class FileDownloadLocalFailure : public FileTransfer, public ::testing::WithParamInterface<LocalFailure> {};

TEST_P(FileDownloadLocalFailure, LeavesNoFileBehind) {
    const LocalFailure& f = GetParam();
    std::string archive = MakeArchive(Arc::Good);
    std::vector<std::string> before;
    if (f.expected == OAM_RECVFILE_RENAME_FAILED) {
        // A directory where the file should go: the temporary cannot replace it.
        ASSERT_TRUE(std::filesystem::create_directory(m_dir.file(f.name)));
        before = {f.name};
    }
    FakeServer server(GoodDownload(archive));
    Connect(server);
    int rc;
    if (f.expected == OAM_RECVFILE_WRITE_FAILED) {
        oamtest::FileSizeCap cap(4096);
        if (!cap.ok()) OAM_SKIP_ON_WINDOWS("no per-process file size limit to make a write fail");
        ASSERT_TRUE(cap.ok());
        rc = m_sock.ReceiveFile("2", f.name);
    } else {
        rc = m_sock.ReceiveFile("2", f.name);
    }
    EXPECT_EQ(rc, f.expected);
    EXPECT_TRUE(Logged(CFunction::SinkR, f.rlog));
    EXPECT_EQ(m_dir.list(), before);
    m_sock.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FileDownloadLocalFailure,
    ::testing::Values(
        LocalFailure{"NotCreatable", "no/such/dir.ini", OAM_RECVFILE_CREATE_FAILED, "Create Error"},
        LocalFailure{"NotWritable", "cfg.ini", OAM_RECVFILE_WRITE_FAILED, "Write Error"},
        LocalFailure{"NotMovableIntoPlace", "cfg.ini", OAM_RECVFILE_RENAME_FAILED, "Rename Error"}),
    [](const ::testing::TestParamInfo<LocalFailure>& i) { return std::string(i.param.label); });

// The temporary name's length does not depend on the file's: a name of
// 255 bytes, the most a directory entry takes, downloads.
TEST_F(FileTransfer, DownloadOfTheLongestNameSucceeds) {
    std::string archive = MakeArchive(Arc::Good);
    const std::string name(255, 'n');
    FakeServer server(GoodDownload(archive));
    Connect(server);
    EXPECT_EQ(m_sock.ReceiveFile("2", name.c_str()), 0);
    std::string got;
    ASSERT_TRUE(oamtest::ReadFileBytes(m_dir.file(name), got));
    EXPECT_TRUE(got == kContent);
    EXPECT_EQ(m_dir.list(), std::vector<std::string>{name});
    m_sock.Close();
}

TEST_F(FileTransfer, DownloadHoldsTheChannelUntilTheArchiveIsIn) {
    std::string archive = MakeArchive(Arc::Good);
    std::atomic<bool> replied{false}, interleaved{false};
    FakeServer server(GoodDownload(archive, &replied, &interleaved));
    Connect(server);
    std::future<int> other = std::async(std::launch::async, [&] {
        for (int i = 0; i < 10000 && !replied; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return m_sock.SendCommand("2", "Ping", "");
    });
    EXPECT_EQ(m_sock.ReceiveFile("2", "cfg.ini"), 0);
    EXPECT_EQ(other.get(), 0);
    EXPECT_FALSE(interleaved);
    std::vector<std::string> reqs = server.requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_NE(reqs[1].find("CMD=Ping;"), std::string::npos);
    std::string got;
    ASSERT_TRUE(oamtest::ReadFileBytes(m_dir.file("cfg.ini"), got));
    EXPECT_TRUE(got == kContent);
    m_sock.Close();
}

}  // namespace
}  // namespace oamtest
