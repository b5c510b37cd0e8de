// SendFile and ReceiveFile of a 64 MiB semi-compressible file on loopback
// against an in-process responder, beside the cost of their parts measured
// in the same run: libdeflate's deflate and CRC-32 (inflate and CRC-32 for
// the download) of the data, MD5 of the archive, and a raw socket transfer
// of the archive bytes; and beside the zlib-based references the library
// used to be, zlib's deflate (inflate) + MD5 + the same raw transfer.
//
// Targets, excluding the upload's fixed 1000 ms pause: each direction takes
// at most 1.3x the sum of its parts; the upload at level 6 at most 0.55x
// its zlib-based reference, the download at most 0.8x its own; the archive
// within 3% of zlib level 6's deflate; peak heap beyond the file itself at
// most 2.5x the file's size. An upload at level 1 against zlib level 6 is
// shown for information. The figures are printed after the table.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "Loopback.h"
#include "TempDir.h"
#include "WireText.h"
#include "ZipTool.h"
#include "channel/ChannelOptions.h"

// ---- heap accounting ---------------------------------------------------------
// Every allocation of the process (library, zlib, minizip) goes through
// these, so that the peak of live heap bytes during one call can be read.
// The responder allocates nothing while a transfer runs.
namespace {
std::atomic<long long> g_live{0};
std::atomic<long long> g_peak{0};

[[maybe_unused]] void Count(long long delta) {
    long long now = g_live.fetch_add(delta, std::memory_order_relaxed) + delta;
    long long peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}
}  // namespace

#ifndef OAMSDK_SANITIZED
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t n) {
    void* p = __libc_malloc(n);
    if (p) Count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* calloc(size_t n, size_t m) {
    void* p = __libc_calloc(n, m);
    if (p) Count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* realloc(void* old, size_t n) {
    long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, n);
    if (p) Count(static_cast<long long>(malloc_usable_size(p)) - before);
    else if (n == 0 && old) Count(-before);
    return p;
}
void free(void* p) {
    if (p) Count(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}
void* memalign(size_t a, size_t n) {
    void* p = __libc_memalign(a, n);
    if (p) Count(static_cast<long long>(malloc_usable_size(p)));
    return p;
}
void* aligned_alloc(size_t a, size_t n) { return memalign(a, n); }
int posix_memalign(void** out, size_t a, size_t n) {
    void* p = memalign(a, n);
    if (!p) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}
const bool kCounting = true;
#else
const bool kCounting = false;
#endif

namespace {

typedef std::chrono::steady_clock Clock;
double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

const size_t kFileSize = 64u << 20;
const int kSockBuf = 655360;  // what the channel asks for

void Tune(int fd) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSockBuf, sizeof kSockBuf);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSockBuf, sizeof kSockBuf);
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

std::string Field(const std::string& text, const std::string& name) {
    size_t at = text.find(name + "=");
    if (at == std::string::npos) return std::string();
    at += name.size() + 1;
    return text.substr(at, text.find(';', at) - at);
}

// Management server stand-in: takes "FileSet" uploads into a buffer
// allocated up front and serves the stored archive to "FileGet"; "RawPut"
// and "RawGet" move the same bytes without any command of the library.
class Responder {
public:
    Responder() : m_store(kFileSize * 2, '\0') {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        Tune(m_listen);
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listen, 4) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            abort();
        }
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~Responder() {
        shutdown(m_listen, SHUT_RDWR);
        close(m_listen);
        m_thread.join();
        for (std::thread& t : m_conns) t.join();
    }
    unsigned short Port() const { return m_port; }
    const unsigned char* Archive() const { return reinterpret_cast<const unsigned char*>(m_store.data()); }
    size_t ArchiveSize() const { return m_storeLen; }
    void SetDigest(const std::string& d) { m_digest = d; }

private:
    // One thread per connection: the channel and the plain reference
    // socket stay connected side by side (and are used one at a time).
    void Run() {
        for (;;) {
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            Tune(fd);
            m_conns.emplace_back([this, fd] {
                Serve(fd);
                close(fd);
            });
        }
    }
    void Serve(int fd) {
        std::vector<char> scratch(1 << 16);
        for (;;) {
            ssize_t n = ::recv(fd, scratch.data(), scratch.size(), 0);
            if (n <= 0) return;
            std::string req(scratch.data(), static_cast<size_t>(n));
            std::string head = oamtest::Reply(Field(req, "SESSIONID"), 0);
            std::string cmd = Field(req, "CMD");
            if (cmd == "FileSet" || cmd == "RawPut") {
                size_t len = std::stoul(Field(req, cmd == "FileSet" ? "FILELEN" : "LEN"));
                if (len > m_store.size()) return;
                if (cmd == "FileSet" && !WriteAll(fd, head.data(), head.size())) return;
                // The raw bytes may follow their command within one read.
                size_t first = 0;
                if (cmd == "RawPut") {
                    size_t end = req.find(';', req.find("LEN=")) + 1;
                    first = std::min(len, req.size() - end);
                    memcpy(&m_store[0], req.data() + end, first);
                }
                if (!ReadAll(fd, &m_store[first], len - first)) return;
                m_storeLen = len;
                if (!WriteAll(fd, head.data(), head.size())) return;
            } else if (cmd == "FileGet") {
                std::string reply = head + "FileName=f;FileLen=" + std::to_string(m_storeLen) + ";MD5=" + m_digest + ";";
                if (!WriteAll(fd, reply.data(), reply.size()) || !WriteAll(fd, m_store.data(), m_storeLen)) return;
            } else if (cmd == "RawGet") {
                if (!WriteAll(fd, m_store.data(), m_storeLen)) return;
            } else if (!WriteAll(fd, head.data(), head.size())) {
                return;
            }
        }
    }

    int m_listen = -1;
    unsigned short m_port = 0;
    std::string m_store;
    size_t m_storeLen = 0;
    std::string m_digest;
    std::thread m_thread;
    std::vector<std::thread> m_conns;
};

struct Fixture {
    oamtest::ModuleDir dir{"oamsdk-files-bench"};
    std::string content;  // deflates to a little over half its size
    Responder responder;
    CClientSocket channel;
    int raw = -1;  // plain socket for the reference transfers

    Fixture() : content(oamtest::SemiCompressible(kFileSize, 2463534242u)) {
        if (!dir.ok()) abort();
        FILE* f = fopen(dir.file("up.bin").c_str(), "wb");
        if (!f || fwrite(content.data(), 1, content.size(), f) != content.size()) abort();
        fclose(f);
        if (channel.Create(responder.Port(), "127.0.0.1") != 1) abort();
        raw = socket(AF_INET, SOCK_STREAM, 0);
        Tune(raw);
        sockaddr_in a = oamtest::Loopback(responder.Port());
        if (connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) abort();
        // One upload fills the responder's store for the download and the
        // reference transfers.
        if (channel.SendFile("1", "up.bin") != 0) abort();
        CString digest;
        CMD5 md5;
        md5.DigestBinary(responder.Archive(), static_cast<unsigned>(responder.ArchiveSize()), digest);
        responder.SetDigest(digest.GetString());
    }
    ~Fixture() {
        close(raw);
        channel.Close();
    }
};

Fixture& F() {
    static Fixture f;
    return f;
}

struct Figure {
    double seconds;
    long long peakBytes;  // above the heap in use before the call
};

Figure Measure(const std::function<bool()>& op) {
    long long base = g_live.load();
    g_peak.store(base);
    Clock::time_point t0 = Clock::now();
    if (!op()) abort();
    return Figure{Since(t0), g_peak.load() - base};
}

// At the default level, or at the one given (put back afterwards). The
// responder keeps the last upload's archive, so the default level's comes
// last.
Figure Upload(int level = 0) {
    if (level) oam::channel::SetUploadLevel(&F().channel, level);
    Figure f = Measure([] { return F().channel.SendFile("1", "up.bin") == 0; });
    if (level) oam::channel::SetUploadLevel(&F().channel, 6);
    f.seconds -= 1.0;  // the fixed pause before the raw send
    return f;
}

Figure Download() {
    return Measure([] { return F().channel.ReceiveFile("1", "down.bin") == 0; });
}

// Each part works as a standalone operation would: its output goes to
// memory obtained (and released) within the measured time, as the
// library's buffers are.
struct FreeBytes {
    void operator()(char* p) const { free(p); }
};
typedef std::unique_ptr<char, FreeBytes> Bytes;

Bytes g_deflated;  // the last Deflate's output, Inflate's input
size_t g_deflatedLen = 0;

double Deflate() {
    Fixture& fx = F();
    Bytes out;
    double t = Measure([&fx, &out] {
                   size_t cap = compressBound(kFileSize);
                   out.reset(static_cast<char*>(malloc(cap)));
                   z_stream z{};
                   if (!out || deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                                            Z_DEFAULT_STRATEGY) != Z_OK) {
                       return false;
                   }
                   z.next_in = reinterpret_cast<Bytef*>(&fx.content[0]);
                   z.avail_in = static_cast<uInt>(fx.content.size());
                   z.next_out = reinterpret_cast<Bytef*>(out.get());
                   z.avail_out = static_cast<uInt>(cap);
                   int rc = deflate(&z, Z_FINISH);
                   g_deflatedLen = z.total_out;
                   deflateEnd(&z);
                   return rc == Z_STREAM_END;
               })
                   .seconds;
    g_deflated = std::move(out);
    return t;
}

double Inflate() {
    if (!g_deflated) Deflate();  // its input
    return Measure([] {
               Bytes out(static_cast<char*>(malloc(kFileSize)));
               z_stream z{};
               if (!out || inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
               z.next_in = reinterpret_cast<Bytef*>(g_deflated.get());
               z.avail_in = static_cast<uInt>(g_deflatedLen);
               z.next_out = reinterpret_cast<Bytef*>(out.get());
               z.avail_out = static_cast<uInt>(kFileSize);
               int rc = inflate(&z, Z_FINISH);
               inflateEnd(&z);
               return rc == Z_STREAM_END;
           })
        .seconds;
}

// libdeflate's parts of the new encoder: the whole buffer deflated in one
// call into room of its worst case, and its CRC-32; inflated back into a
// buffer of the file's size with the CRC-32 of the result.
size_t g_newDeflatedLen = 0;
Bytes g_newDeflated;

double NewDeflate(int level = 6) {
    Fixture& fx = F();
    Bytes out;
    size_t len = 0;
    double t = Measure([&] {
                   libdeflate_compressor* c = libdeflate_alloc_compressor(level);
                   if (!c) return false;
                   size_t cap = libdeflate_deflate_compress_bound(c, kFileSize);
                   out.reset(static_cast<char*>(malloc(cap)));
                   if (out) len = libdeflate_deflate_compress(c, fx.content.data(), fx.content.size(), out.get(), cap);
                   libdeflate_free_compressor(c);
                   uint32_t crc = libdeflate_crc32(0, fx.content.data(), fx.content.size());
                   benchmark::DoNotOptimize(crc);
                   return len > 0;
               })
                   .seconds;
    if (level == 6) {
        g_newDeflated = std::move(out);
        g_newDeflatedLen = len;
    }
    return t;
}

double NewInflate() {
    if (!g_newDeflated) NewDeflate();
    return Measure([] {
               Bytes out(static_cast<char*>(malloc(kFileSize)));
               libdeflate_decompressor* d = libdeflate_alloc_decompressor();
               if (!out || !d) return false;
               size_t got = 0;
               libdeflate_result r =
                   libdeflate_deflate_decompress(d, g_newDeflated.get(), g_newDeflatedLen, out.get(), kFileSize, &got);
               libdeflate_free_decompressor(d);
               uint32_t crc = libdeflate_crc32(0, out.get(), got);
               benchmark::DoNotOptimize(crc);
               return r == LIBDEFLATE_SUCCESS && got == kFileSize;
           })
        .seconds;
}

double Md5OfArchive() {
    return Measure([] {
               CString digest;
               CMD5 md5;
               md5.DigestBinary(F().responder.Archive(), static_cast<unsigned>(F().responder.ArchiveSize()), digest);
               return digest.GetLength() == 32;
           })
        .seconds;
}

// The archive's bytes to the responder in one send, until it acknowledges.
double RawUp() {
    Fixture& fx = F();
    return Measure([&fx] {
               size_t n = fx.responder.ArchiveSize();
               std::string cmd = "SESSIONID=0;CMD=RawPut;LEN=" + std::to_string(n) + ";";
               char ack[64];
               return WriteAll(fx.raw, cmd.data(), cmd.size()) &&
                      WriteAll(fx.raw, reinterpret_cast<const char*>(fx.responder.Archive()), n) &&
                      ::recv(fx.raw, ack, sizeof ack, 0) > 0;
           })
        .seconds;
}

// The archive's bytes from the responder straight into a buffer.
double RawDown() {
    Fixture& fx = F();
    return Measure([&fx] {
               size_t n = fx.responder.ArchiveSize();
               Bytes in(static_cast<char*>(malloc(n)));
               std::string cmd = "SESSIONID=0;CMD=RawGet;";
               return in && WriteAll(fx.raw, cmd.data(), cmd.size()) && ReadAll(fx.raw, in.get(), n);
           })
        .seconds;
}

void BM_Upload(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(Upload().seconds);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
void BM_Download(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(Download().seconds);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}
void BM_Deflate(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(Deflate());
}
void BM_Inflate(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(Inflate());
}
void BM_NewDeflate(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(NewDeflate());
}
void BM_NewInflate(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(NewInflate());
}
void BM_Md5OfArchive(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(Md5OfArchive());
}
void BM_RawTransferUp(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(RawUp());
}
void BM_RawTransferDown(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(RawDown());
}

#define ONCE UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Deflate)->ONCE;
BENCHMARK(BM_NewDeflate)->ONCE;
BENCHMARK(BM_Md5OfArchive)->ONCE;
BENCHMARK(BM_RawTransferUp)->ONCE;
BENCHMARK(BM_Upload)->ONCE;
BENCHMARK(BM_Inflate)->ONCE;
BENCHMARK(BM_NewInflate)->ONCE;
BENCHMARK(BM_RawTransferDown)->ONCE;
BENCHMARK(BM_Download)->ONCE;

// Best of several interleaved rounds, so that every figure and its parts
// see the same machine state. Peaks are the largest seen.
void PrintSummary() {
    // An upload round costs seconds (deflate and the pause), a download
    // round a fraction of one.
    double up = 1e30, down = 1e30, def = 1e30, inf = 1e30, md5 = 1e30, rawUp = 1e30, rawDown = 1e30;
    double newDef = 1e30, newInf = 1e30, up1 = 1e30, def1 = 1e30;
    long long upPeak = 0, downPeak = 0;
    for (int r = 0; r < 3; ++r) {
        def = std::min(def, Deflate());
        newDef = std::min(newDef, NewDeflate());
        md5 = std::min(md5, Md5OfArchive());
        rawUp = std::min(rawUp, RawUp());
        Figure u = Upload();
        up = std::min(up, u.seconds);
        upPeak = std::max(upPeak, u.peakBytes);
    }
    const double archive = static_cast<double>(F().responder.ArchiveSize());
    for (int r = 0; r < 2; ++r) {
        def1 = std::min(def1, NewDeflate(1));
        up1 = std::min(up1, Upload(1).seconds);
    }
    Upload();  // the level-6 archive back in the store, for the download
    for (int r = 0; r < 5; ++r) {
        md5 = std::min(md5, Md5OfArchive());
        inf = std::min(inf, Inflate());
        newInf = std::min(newInf, NewInflate());
        rawDown = std::min(rawDown, RawDown());
        Figure d = Download();
        down = std::min(down, d.seconds);
        downPeak = std::max(downPeak, d.peakBytes);
    }
    const double file = static_cast<double>(kFileSize);
    const double upParts = newDef + md5 + rawUp, upRef = def + md5 + rawUp;
    const double downParts = newInf + md5 + rawDown, downRef = inf + md5 + rawDown;
    std::printf("\n64 MiB file, archive %.1f MiB (%.0f%%)\n", archive / (1 << 20), 100.0 * archive / file);
    std::printf("upload   %7.1f ms (pause excluded)  parts: libdeflate %.1f + MD5 %.1f + transfer %.1f = %.1f ms  "
                "ratio %.3f (target <= 1.3)\n",
                up * 1e3, newDef * 1e3, md5 * 1e3, rawUp * 1e3, upParts * 1e3, up / upParts);
    std::printf("download %7.1f ms                   parts: libdeflate %.1f + MD5 %.1f + transfer %.1f = %.1f ms  "
                "ratio %.3f (target <= 1.3)\n",
                down * 1e3, newInf * 1e3, md5 * 1e3, rawDown * 1e3, downParts * 1e3, down / downParts);
    std::printf("upload   %7.1f ms against zlib: deflate %.1f + MD5 %.1f + transfer %.1f = %.1f ms  "
                "ratio %.3f (target <= 0.55)\n",
                up * 1e3, def * 1e3, md5 * 1e3, rawUp * 1e3, upRef * 1e3, up / upRef);
    std::printf("download %7.1f ms against zlib: inflate %.1f + MD5 %.1f + transfer %.1f = %.1f ms  "
                "ratio %.3f (target <= 0.8)\n",
                down * 1e3, inf * 1e3, md5 * 1e3, rawDown * 1e3, downRef * 1e3, down / downRef);
    std::printf("archive  %.0f bytes against zlib level 6's deflate %.0f bytes: ratio %.4f (target <= 1.03)\n",
                archive, static_cast<double>(g_deflatedLen), archive / static_cast<double>(g_deflatedLen));
    std::printf("level 1  upload %.1f ms (pause excluded), libdeflate %.1f ms; zlib level 6 deflate %.1f ms: "
                "%.1fx faster\n",
                up1 * 1e3, def1 * 1e3, def * 1e3, def / def1);
    if (kCounting) {
        std::printf("peak heap beyond the file itself: upload %.2fx, download %.2fx the file size (target <= 2.5)\n",
                    (static_cast<double>(upPeak) - file) / file, (static_cast<double>(downPeak) - file) / file);
    } else {
        std::printf("peak heap: not counted in a sanitizer build\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    F();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    return 0;
}
