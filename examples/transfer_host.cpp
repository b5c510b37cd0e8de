// A host that uploads a file to a station and downloads it back, showing
// the progress of each phase through the channel's progress hook.
//
//   transfer_host host port user password station file [download-dir]
//
// The file's directory is the module directory of the upload; the download
// goes into download-dir (default: the same directory). Exits 0 when both
// transfers succeeded.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <oamsdk.h>

namespace {

const char* PhaseName(int phase) {
    switch (phase) {
    case OAM_PHASE_PACKING: return "packing";
    case OAM_PHASE_SENDING: return "sending";
    case OAM_PHASE_RECEIVING: return "receiving";
    default: return "unpacking";
    }
}

// Runs on the thread that called SendFile or ReceiveFile, at most every
// 64 KiB or 100 ms. Returning non-zero would cancel the transfer.
int OnProgress(LONG_PTR, long long done, long long total, int phase, LONG_PTR) {
    std::printf("%-9s %lld / %lld\n", PhaseName(phase), done, total);
    return 0;
}

std::string DirOf(const std::string& path) {
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? "." : path.substr(0, s);
}

std::string NameOf(const std::string& path) {
    size_t s = path.find_last_of('/');
    return s == std::string::npos ? path : path.substr(s + 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: transfer_host host port user password station file [download-dir]\n");
        return 2;
    }
    std::string login = std::string("User=") + argv[3] + ";Password=" + argv[4] + ";";
    const char* station = argv[5];
    std::string file = argv[6];
    std::string name = NameOf(file);
    std::string downloadDir = argc > 7 ? argv[7] : DirOf(file);

    auto channel = std::make_unique<CClientSocket>();
    channel->SetConnectTimeout(3000);
    channel->SetCommandTimeout(10000);
    if (!channel->Create(static_cast<unsigned>(std::atoi(argv[2])), argv[1])) {
        std::fprintf(stderr, "cannot connect\n");
        return 3;
    }
    if (channel->SendCommand("", "Login", login.c_str()) != 0) {
        std::fprintf(stderr, "login refused\n");
        return 4;
    }
    channel->SetProgressHook(&OnProgress, 0);

    // Files are named relative to the module directory.
    setenv("OAMSDK_MODULE_DIR", DirOf(file).c_str(), 1);
    int rc = channel->SendFile(station, name.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "upload failed (%d)\n", rc);
        return 3;
    }
    setenv("OAMSDK_MODULE_DIR", downloadDir.c_str(), 1);
    rc = channel->ReceiveFile(station, name.c_str());
    if (rc != 0) {
        std::fprintf(stderr, "download failed (%d)\n", rc);
        return 3;
    }
    std::printf("uploaded and downloaded %s\n", name.c_str());
    channel->Close();
    return 0;
}
