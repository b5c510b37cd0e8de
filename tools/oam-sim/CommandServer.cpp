#include "CommandServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Archive.h"
#include "Log.h"

namespace oamsim {

namespace {

constexpr size_t kMaxRequest = 65536;
constexpr size_t kClientReplyLimit = 60000;  // what one client receive can take

template <class Map>
typename Map::iterator FindNoCase(Map& m, const std::string& name) {
    for (auto it = m.begin(); it != m.end(); ++it)
        if (EqualsNoCase(it->first, name)) return it;
    return m.end();
}

std::string Reason(const std::string& text) {
    return "Reason=" + SafeValue(text) + ";";
}

bool IsHex32(const std::string& s) {
    if (s.size() != 32) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

using Clock = std::chrono::steady_clock;

}  // namespace

struct CommandServer::Client {
    unsigned id = 0;
    int fd = -1;
    std::string peer;
    std::thread thread;
    std::atomic<bool> done{false};
    bool loggedIn = false;
    std::string user;

    // Waits up to `ms` for data; false on time-out, error or stop.
    bool WaitReadable(int ms) {
        pollfd p{fd, POLLIN, 0};
        int r;
        do r = ::poll(&p, 1, ms);
        while (r < 0 && errno == EINTR);
        return r > 0;
    }
    // Sends everything; a reply goes out in one call unless the socket
    // buffer is full.
    bool SendAll(const std::string& data) {
        size_t off = 0;
        while (off < data.size()) {
            ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }
    std::string Tag() const { return "[c" + std::to_string(id) + "] "; }
};

CommandServer::CommandServer(SimConfig config, ServerOptions options)
    : m_config(std::move(config)), m_opt(std::move(options)) {}

CommandServer::~CommandServer() {
    Stop();
    if (m_listenFd >= 0) ::close(m_listenFd);
}

bool CommandServer::Start(std::string& err) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_opt.port);
    if (inet_pton(AF_INET, m_opt.bindAddress.c_str(), &a.sin_addr) != 1) {
        err = "bad bind address " + m_opt.bindAddress;
        return false;
    }
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(m_listenFd, 64) < 0) {
        err = "cannot listen on " + m_opt.bindAddress + ":" + std::to_string(m_opt.port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    return true;
}

void CommandServer::OnAcceptable() {
    for (int i = 0; i < 64; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that died while queued
        char addr[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        std::string who = std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
        Reap();
        if (static_cast<int>(m_clients.size()) >= m_opt.maxClients) {
            LogEvent("refused connection from " + who + ": " + std::to_string(m_opt.maxClients) + " clients already");
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A client that stops reading must not block its thread for good.
        timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        auto c = std::make_unique<Client>();
        c->id = m_nextClientId++;
        c->fd = fd;
        c->peer = who;
        c->loggedIn = !m_opt.requireLogin;
        Client* raw = c.get();
        LogEvent(raw->Tag() + "connected from " + who);
        try {
            raw->thread = std::thread([this, raw] { Serve(raw); });
        } catch (const std::system_error&) {
            LogError("no thread for a new client; closing it");
            ::close(fd);
            continue;
        }
        m_clients.push_back(std::move(c));
    }
}

void CommandServer::Reap() {
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        if ((*it)->done) {
            (*it)->thread.join();
            ::close((*it)->fd);
            it = m_clients.erase(it);
        } else {
            ++it;
        }
    }
}

void CommandServer::Stop() {
    m_stopping = true;
    // Wakes every client thread out of poll/recv; the descriptors stay
    // open until the threads are joined so that no number is reused early.
    for (auto& c : m_clients) ::shutdown(c->fd, SHUT_RDWR);
    for (auto& c : m_clients) {
        if (c->thread.joinable()) c->thread.join();
        ::close(c->fd);
    }
    m_clients.clear();
}

void CommandServer::Serve(Client* c) {
    char buf[16384];
    while (!m_stopping) {
        if (!c->WaitReadable(250)) continue;
        ssize_t n = ::recv(c->fd, buf, sizeof buf, 0);
        if (n == 0) {
            LogEvent(c->Tag() + "disconnected");
            break;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            LogEvent(c->Tag() + "connection lost: " + strerror(errno));
            break;
        }
        std::string text(buf, static_cast<size_t>(n));
        // The client sends each request in one send with no terminator, so
        // one read is normally one request. A request cut by the network
        // shows as text not yet ending in ";": wait a moment for the rest.
        while (text.size() < kMaxRequest && !m_stopping) {
            std::string_view t = Trim(text);
            if (!t.empty() && t.back() == ';') break;
            if (!c->WaitReadable(m_opt.requestGapMs)) break;
            ssize_t more = ::recv(c->fd, buf, std::min(sizeof buf, kMaxRequest - text.size()), 0);
            if (more <= 0) break;
            text.append(buf, static_cast<size_t>(more));
        }
        Handle(c, text);
    }
    c->done = true;
}

Station* CommandServer::FindStation(const std::string& id) {
    for (Station& s : m_config.stations)
        if (s.id == id) return &s;
    return nullptr;
}

std::string CommandServer::StationDir(const std::string& id) const {
    return m_opt.storageDir + "/" + id;
}

void CommandServer::Handle(Client* c, const std::string& text) {
    LogDetail(c->Tag() + "request: " + Excerpt(text));
    int32_t session = -1;
    std::string why;
    std::optional<Request> req = ParseRequest(text, session, why);
    std::string reply, summary;
    if (!req) {
        LogEvent(c->Tag() + "refused " + std::to_string(text.size()) + " bytes: " + why);
        reply = FormatReply(session, kMalformed) + Reason(why);
    } else if (EqualsNoCase(req->command, "Login")) {
        reply = HandleLogin(c, *req);
    } else if (!c->loggedIn) {
        LogEvent(c->Tag() + req->command + " refused: not logged in");
        reply = FormatReply(req->session, kNotLoggedIn) + Reason("not logged in");
    } else if (EqualsNoCase(req->command, "Get")) {
        reply = HandleGet(c, *req, summary);
    } else if (EqualsNoCase(req->command, "Set")) {
        reply = HandleSetting(c, *req, false, summary);
    } else if (EqualsNoCase(req->command, "Control")) {
        reply = HandleSetting(c, *req, true, summary);
    } else if (EqualsNoCase(req->command, "FileSet")) {
        HandleFileSet(c, *req);
        return;
    } else if (EqualsNoCase(req->command, "FileGet")) {
        HandleFileGet(c, *req);
        return;
    } else {
        LogEvent(c->Tag() + "unknown command " + Excerpt(req->command, 40));
        reply = FormatReply(req->session, kUnknownCommand) + Reason("unknown command " + req->command);
    }
    if (reply.size() > kClientReplyLimit)
        LogError(c->Tag() + "reply of " + std::to_string(reply.size()) +
                 " bytes is longer than a client reads at once");
    LogDetail(c->Tag() + "reply: " + Excerpt(reply));
    if (!c->SendAll(reply)) LogEvent(c->Tag() + "reply not sent: " + strerror(errno));
}

std::string CommandServer::HandleLogin(Client* c, const Request& r) {
    const Pair* user = r.Find("User");
    const Pair* pass = r.Find("Password");
    bool ok = m_config.users.empty();
    for (const User& u : m_config.users)
        if (user && pass && u.name == user->value && u.password == pass->value) ok = true;
    std::string who = user ? user->value : std::string();
    if (!ok) {
        // A failed log-in also ends an earlier one on this connection.
        c->loggedIn = !m_opt.requireLogin;
        LogEvent(c->Tag() + "login refused for user '" + Excerpt(who, 64) + "'");
        return FormatReply(r.session, kLoginFailed) +
               Reason(user && pass ? "wrong user name or password" : "User and Password are required");
    }
    c->loggedIn = true;
    c->user = who;
    LogEvent(c->Tag() + "logged in as '" + Excerpt(who, 64) + "'");
    return FormatReply(r.session, kOk, {{"User", SafeValue(who)}});
}

std::string CommandServer::HandleGet(Client* c, const Request& r, std::string& summary) {
    if (r.params.empty()) return FormatReply(r.session, kMalformed) + Reason("Get needs a name");
    const std::string& name = r.params[0].name;
    if (EqualsNoCase(name, "AllStation")) {
        std::string list;
        for (const Station& s : m_config.stations) {
            if (!list.empty()) list += ',';
            list += s.id + "[" + Base64Encode(s.name) + "]" + std::to_string(s.value);
        }
        LogEvent(c->Tag() + "Get AllStation -> " + std::to_string(m_config.stations.size()) + " stations");
        return FormatReply(r.session, kOk, {{"AllStation", list}});
    }
    Station* st = FindStation(r.station);
    if (!st) {
        LogEvent(c->Tag() + "Get " + Excerpt(name, 40) + " refused: unknown station '" + Excerpt(r.station, 40) + "'");
        return FormatReply(r.session, kUnknownStation) + Reason("unknown station " + r.station);
    }
    if (EqualsNoCase(name, "StationTopo")) {
        std::string list;
        for (const Device& d : st->devices) {
            if (!list.empty()) list += ':';
            list += std::to_string(d.id) + "[" + Base64Encode(d.name) + "]<";
            for (size_t i = 0; i < d.ptz.size(); ++i) {
                if (i) list += ',';
                list += std::to_string(d.ptz[i].id) + "[" + Base64Encode(d.ptz[i].name) + "]";
            }
            list += '>';
        }
        LogEvent(c->Tag() + "Get StationTopo of " + st->id + " -> " + std::to_string(st->devices.size()) + " devices");
        return FormatReply(r.session, kOk, {{"StationTopo", list}});
    }
    std::lock_guard<std::mutex> lock(m_siteMutex);
    auto it = FindNoCase(st->parameters, name);
    if (it == st->parameters.end()) {
        LogEvent(c->Tag() + "Get " + Excerpt(name, 40) + " on " + st->id + " refused: unknown parameter");
        return FormatReply(r.session, kUnknownName) + Reason("unknown parameter " + name);
    }
    summary = it->first;
    LogEvent(c->Tag() + "Get " + it->first + " on " + st->id + " -> " + std::to_string(it->second.value));
    return FormatReply(r.session, kOk, {{it->first, std::to_string(it->second.value)}});
}

std::string CommandServer::HandleSetting(Client* c, const Request& r, bool control, std::string& summary) {
    const char* cmd = control ? "Control" : "Set";
    if (r.params.empty()) return FormatReply(r.session, kMalformed) + Reason(std::string(cmd) + " needs NAME=VALUE");
    Station* st = FindStation(r.station);
    if (!st) {
        LogEvent(c->Tag() + cmd + " refused: unknown station '" + Excerpt(r.station, 40) + "'");
        return FormatReply(r.session, kUnknownStation) + Reason("unknown station " + r.station);
    }
    const Pair& p = r.params[0];
    std::lock_guard<std::mutex> lock(m_siteMutex);
    auto& table = control ? st->controls : st->parameters;
    auto it = FindNoCase(table, p.name);
    if (it == table.end()) {
        LogEvent(c->Tag() + cmd + " " + Excerpt(p.name, 40) + " on " + st->id + " refused: unknown name");
        return FormatReply(r.session, kUnknownName) +
               Reason(std::string("unknown ") + (control ? "control " : "parameter ") + p.name);
    }
    std::optional<int32_t> v = ParseInt(p.value);
    if (!v || *v < it->second.min || *v > it->second.max) {
        LogEvent(c->Tag() + cmd + " " + it->first + " on " + st->id + " refused: bad value '" + Excerpt(p.value, 40) + "'");
        std::string range = it->second.min == INT32_MIN && it->second.max == INT32_MAX
                                ? std::string("an integer")
                                : std::to_string(it->second.min) + ".." + std::to_string(it->second.max);
        return FormatReply(r.session, kBadValue) + Reason(it->first + " must be " + range);
    }
    int32_t old = it->second.value;
    it->second.value = *v;
    summary = it->first;
    LogEvent(c->Tag() + cmd + " " + it->first + " on " + st->id + ": " + std::to_string(old) + " -> " +
             std::to_string(*v));
    return FormatReply(r.session, kOk, {{it->first, std::to_string(*v)}});
}

void CommandServer::HandleFileSet(Client* c, const Request& r) {
    auto refuse = [&](int code, const std::string& why) {
        LogEvent(c->Tag() + "FileSet refused: " + why);
        c->SendAll(FormatReply(r.session, code) + Reason(why));
    };
    if (!FindStation(r.station)) return refuse(kUnknownStation, "unknown station " + r.station);
    const Pair* name = r.Find("FILENAME");
    const Pair* len = r.Find("FILELEN");
    const Pair* md5 = r.Find("MD5");
    if (!name || !len || !md5) return refuse(kMalformed, "FILENAME, FILELEN and MD5 are required");
    if (!IsSafeFileName(name->value)) return refuse(kBadValue, "bad file name " + name->value);
    const std::string limit = "the limit is " + std::to_string(m_opt.maxFileBytes >> 20) + " MiB";
    std::optional<uint64_t> length = ParseCount(len->value, UINT64_MAX);
    if (!length) return refuse(kBadValue, "bad FILELEN " + len->value);
    if (*length > m_opt.maxFileBytes) return refuse(kBadValue, "file too large: " + len->value + " bytes, " + limit);
    if (!IsHex32(md5->value)) return refuse(kBadValue, "MD5 must be 32 hex digits");

    // Go ahead: the archive's raw bytes follow.
    if (!c->SendAll(FormatReply(r.session, kOk))) return;
    // An empty file brings no bytes, so the final reply would follow the
    // go-ahead at once and reach the client in the same read. The client
    // pauses a second before its (empty) send: answer within that second.
    if (*length == 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string data;
    // Grows as bytes arrive: an announced length alone reserves little.
    data.reserve(static_cast<size_t>(std::min<uint64_t>(*length, 1u << 20)));
    auto deadline = Clock::now() + std::chrono::milliseconds(m_opt.fileTimeoutMs);
    char buf[65536];
    bool closed = false;
    while (data.size() < *length && !m_stopping) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        if (!c->WaitReadable(static_cast<int>(std::min<long long>(left, 250)))) continue;
        size_t want = std::min<uint64_t>(sizeof buf, *length - data.size());
        ssize_t n = ::recv(c->fd, buf, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closed = true;
            break;
        }
        data.append(buf, static_cast<size_t>(n));
    }
    auto finish = [&](int code, const std::string& text, const std::vector<Pair>& pairs = {}) {
        LogEvent(c->Tag() + "FileSet " + name->value + " on " + r.station + ": " + text);
        std::string reply = FormatReply(r.session, code, pairs);
        if (code != kOk) reply += Reason(text);
        if (!closed) c->SendAll(reply);
    };
    if (data.size() != *length)
        return finish(kTransferShort, "received " + std::to_string(data.size()) + " of " + std::to_string(*length) + " bytes");
    std::string digest = Md5Hex(data.data(), data.size());
    if (!EqualsNoCase(digest, md5->value)) return finish(kDigestMismatch, "MD5 mismatch (got " + digest + ")");
    std::string content;
    if (!data.empty()) {
        std::string why;
        uint64_t tooLarge = 0;
        auto entry = UnzipFirstEntry(data, m_opt.maxFileBytes, why, &tooLarge);
        // A file over the limit is refused as such, however well it packs.
        if (!entry && tooLarge)
            return finish(kBadValue, "file too large: " + std::to_string(tooLarge) + " bytes, " + limit);
        if (!entry) return finish(kBadArchive, "bad archive: " + why);
        content = std::move(entry->content);
    }
    std::string dir = StationDir(r.station);
    ::mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name->value;
    std::string tmp = dir + "/.upload-" + std::to_string(c->id) + "-" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out || ::rename(tmp.c_str(), path.c_str()) != 0) {
            ::unlink(tmp.c_str());
            return finish(kStorageError, std::string("cannot store the file: ") + strerror(errno));
        }
    }
    finish(kOk, "stored " + std::to_string(content.size()) + " bytes (archive " + std::to_string(data.size()) + ")",
          {{"FileName", name->value}, {"FileLen", std::to_string(content.size())}});
}

void CommandServer::HandleFileGet(Client* c, const Request& r) {
    auto refuse = [&](int code, const std::string& why) {
        LogEvent(c->Tag() + "FileGet refused: " + why);
        c->SendAll(FormatReply(r.session, code) + Reason(why));
    };
    if (!FindStation(r.station)) return refuse(kUnknownStation, "unknown station " + r.station);
    const Pair* name = r.Find("FileName");
    if (!name) return refuse(kMalformed, "FileName is required");
    if (!IsSafeFileName(name->value)) return refuse(kBadValue, "bad file name " + name->value);
    std::string path = StationDir(r.station) + "/" + name->value;
    struct stat sb;
    if (::stat(path.c_str(), &sb) != 0 || !S_ISREG(sb.st_mode))
        return refuse(kNoSuchFile, "no file " + name->value + " on " + r.station);
    if (static_cast<uint64_t>(sb.st_size) > m_opt.maxFileBytes) return refuse(kBadValue, "file too large");
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    if (!in && !in.eof()) return refuse(kStorageError, "cannot read " + name->value);
    const std::string content = ss.str();
    auto archive = ZipOneEntry(name->value, content);
    if (!archive) return refuse(kStorageError, "cannot pack " + name->value);
    std::string reply = FormatReply(r.session, kOk,
                                    {{"FileName", name->value},
                                     {"FileLen", std::to_string(archive->size())},
                                     {"MD5", Md5Hex(archive->data(), archive->size())}});
    LogDetail(c->Tag() + "reply: " + reply);
    if (!c->SendAll(reply)) return;
    // The client takes the reply in one receive: the archive must not
    // arrive in the same one.
    std::this_thread::sleep_for(std::chrono::milliseconds(m_opt.fileGetPauseMs));
    bool sent = c->SendAll(*archive);
    LogEvent(c->Tag() + "FileGet " + name->value + " on " + r.station + ": " +
             (sent ? "sent " : "failed to send ") + std::to_string(archive->size()) + " archive bytes (file " +
             std::to_string(content.size()) + ")");
}

}  // namespace oamsim
