// The management server's command side: a TCP listener and one thread per
// client, each answering NAME=VALUE; requests with one reply per request.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimConfig.h"
#include "Wire.h"

namespace oamsim {

// Return codes of the simulated server (0 accepted).
enum ReturnCode : int {
    kOk = 0,
    kMalformed = 2,
    kUnknownCommand = 3,
    kNotLoggedIn = 4,
    kUnknownStation = 5,
    kUnknownName = 6,
    kNoSuchFile = 7,
    kLoginFailed = 8,
    kBadValue = 9,
    kTransferShort = 10,
    kDigestMismatch = 11,
    kBadArchive = 12,
    kStorageError = 13,
};

struct ServerOptions {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;
    std::string storageDir;
    bool requireLogin = true;
    int maxClients = 64;
    uint64_t maxFileBytes = 64ull << 20;
    int fileTimeoutMs = 15000;     // for the raw bytes of an upload
    int fileGetPauseMs = 20;       // between a download's reply and its archive
    int requestGapMs = 50;         // waiting for the rest of a split request
};

class CommandServer {
public:
    CommandServer(SimConfig config, ServerOptions options);
    ~CommandServer();
    CommandServer(const CommandServer&) = delete;
    CommandServer& operator=(const CommandServer&) = delete;

    // Binds and listens; false with a reason in `err`.
    bool Start(std::string& err);
    int ListenFd() const { return m_listenFd; }
    uint16_t Port() const { return m_port; }

    // Accepts every waiting connection (the listener is non-blocking).
    void OnAcceptable();
    // Joins the threads of clients that have gone.
    void Reap();
    // Disconnects every client and joins their threads.
    void Stop();

    const SimConfig& Config() const { return m_config; }

private:
    struct Client;
    void Serve(Client* c);
    void Handle(Client* c, const std::string& text);
    std::string HandleLogin(Client* c, const Request& r);
    std::string HandleGet(Client* c, const Request& r, std::string& summary);
    std::string HandleSetting(Client* c, const Request& r, bool control, std::string& summary);
    void HandleFileSet(Client* c, const Request& r);
    void HandleFileGet(Client* c, const Request& r);

    Station* FindStation(const std::string& id);
    std::string StationDir(const std::string& id) const;

    SimConfig m_config;
    ServerOptions m_opt;
    std::mutex m_siteMutex;  // guards the stations' parameter and control values
    int m_listenFd = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::list<std::unique_ptr<Client>> m_clients;  // main thread only
    unsigned m_nextClientId = 1;
};

}  // namespace oamsim
