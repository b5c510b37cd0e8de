// The C interface (oamsdk_c.h): thin entry points over the exported classes.
// Each one checks its handle, runs the C++ operation inside Guarded (so that
// no exception leaves the library) and converts texts at the edge: C strings
// in, caller buffers out, cut by the codec's own character-safe copy.
#include "oamsdk_c.h"

#include <string.h>

#include <initializer_list>
#include <mutex>
#include <new>

#include "AlarmSocket.h"
#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "OamModule.h"
#include "OamSession.h"
#include "UDPSocket.h"
#include "channel/ChannelInternal.h"
#include "codec/TextScan.h"

namespace {

// The host's progress callback, addressed by the C++ hook's user value.
struct ProgressTarget {
    oam_progress_fn fn = nullptr;
    void* user = nullptr;
};

}  // namespace

struct oam_channel {
    CClientSocket socket;
    oam_link_break_fn linkBreak = nullptr;
    void* user = nullptr;
    ProgressTarget progress;
};

// The callback fields come first: the session's destructor reports CLOSED
// through them, so they must outlive it.
struct oam_session {
    std::mutex lock;  // fn and user: the background thread reads them
    oam_session_fn fn = nullptr;
    void* user = nullptr;
    ProgressTarget progress;
    COamSession session;
};

// The C names of the C++ constants are other names with the same numbers.
static_assert(OAM_SETTING_OK == OAM_OPTION_OK && OAM_SETTING_BAD_VALUE == OAM_OPTION_BAD_VALUE &&
                  OAM_SETTING_FAILED == OAM_OPTION_FAILED, "setting results");
static_assert(OAM_PROGRESS_PACKING == OAM_PHASE_PACKING && OAM_PROGRESS_SENDING == OAM_PHASE_SENDING &&
                  OAM_PROGRESS_RECEIVING == OAM_PHASE_RECEIVING && OAM_PROGRESS_UNPACKING == OAM_PHASE_UNPACKING &&
                  OAM_PROGRESS_CANCELLED == OAM_TRANSFER_CANCELLED, "transfer phases and result");
static_assert(OAM_STATE_CONNECTED == OAM_SESSION_CONNECTED && OAM_STATE_LOST == OAM_SESSION_LOST &&
                  OAM_STATE_RECONNECTING == OAM_SESSION_RECONNECTING && OAM_STATE_RESTORED == OAM_SESSION_RESTORED &&
                  OAM_STATE_GIVEN_UP == OAM_SESSION_GIVEN_UP && OAM_STATE_CLOSED == OAM_SESSION_CLOSED,
              "session states");
static_assert(OAM_REASON_NONE == OAM_CAUSE_NONE && OAM_REASON_LINK_BREAK == OAM_CAUSE_LINK_BREAK &&
                  OAM_REASON_CONNECTION_GONE == OAM_CAUSE_CONNECTION_GONE &&
                  OAM_REASON_CONNECT_FAILED == OAM_CAUSE_CONNECT_FAILED &&
                  OAM_REASON_NO_LOGIN_REPLY == OAM_CAUSE_NO_LOGIN_REPLY &&
                  OAM_REASON_LOGIN_REFUSED == OAM_CAUSE_LOGIN_REFUSED &&
                  OAM_REASON_ATTEMPTS_USED == OAM_CAUSE_ATTEMPTS_USED &&
                  OAM_REASON_DESYNCHRONISED == OAM_CAUSE_DESYNCHRONISED && OAM_REASON_HOST == OAM_CAUSE_HOST,
              "session causes");
static_assert(OAM_LINK_DOWN == OAM_SESSION_LINK_DOWN && OAM_BUSY == OAM_SESSION_BUSY, "session results");
static_assert(OAM_DOWNLOAD_NO_BUFFER == OAM_RECVFILE_NO_BUFFER && OAM_DOWNLOAD_RENAME_FAILED == OAM_RECVFILE_RENAME_FAILED,
              "download results");

struct oam_alarm {
    CAlarmSocket socket;
    oam_alarm_fn callback = nullptr;
    void* user = nullptr;
};

struct oam_udp {
    CUDPSocket socket;
};

namespace {

// Runs body; any exception (in practice only an allocation failure of the
// string class) becomes the entry point's failure value.
template <class R, class F>
R Guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// A caller's text output.
struct TextOut {
    char* buf;
    size_t size;
};

// Guarded, for a function with text outputs: those it did not get to store
// are set to "" on the failure path too, as the header promises.
template <class R, class F>
R GuardedText(R failure, std::initializer_list<TextOut> outs, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        for (const TextOut& o : outs)
            if (o.buf && o.size) o.buf[0] = '\0';
        return failure;
    }
}

template <class T>
T* New() noexcept {
    try {
        return new T();
    } catch (...) {
        return nullptr;
    }
}

const char* OrEmpty(const char* s) { return s ? s : ""; }

// Text-result convention: copy with a NUL, cut to fit, give the full length.
int32_t CopyOut(const CString& s, char* buf, size_t size) {
    if (buf && size) oam::codec::CopyFit(buf, size, s.GetString(), static_cast<size_t>(s.GetLength()));
    return s.GetLength();
}

void CopyOut(const CString& s, size_t* length) {
    if (length) *length = static_cast<size_t>(s.GetLength());
}

// An in/out codec text: read from the caller's buffer, and what is left
// after the pop written back over it (never longer than it was).
class InOut {
public:
    explicit InOut(char* text) : m_text(text), m_size(text ? strlen(text) + 1 : 0), m_value(OrEmpty(text)) {}
    CString& operator*() { return m_value; }
    void Store() const {
        if (m_text) oam::codec::CopyFit(m_text, m_size, m_value.GetString(), static_cast<size_t>(m_value.GetLength()));
    }

private:
    char* m_text;
    size_t m_size;
    CString m_value;
};

void LinkBreakTrampoline(LONG_PTR, LONG_PTR user) {
    oam_channel* channel = reinterpret_cast<oam_channel*>(user);
    if (channel->linkBreak) channel->linkBreak(channel, channel->user);
}

int AlarmTrampoline(ALARM_STRUCT* alarm, LONG_PTR user) {
    oam_alarm* receiver = reinterpret_cast<oam_alarm*>(user);
    if (receiver->callback) receiver->callback(alarm, receiver->user);
    return 0;
}

int ProgressTrampoline(LONG_PTR, long long done, long long total, int phase, LONG_PTR user) {
    const ProgressTarget* target = reinterpret_cast<const ProgressTarget*>(user);
    return target->fn ? target->fn(done, total, phase, target->user) : 0;
}

// The hook is taken off before the target changes, so that a transfer never
// sees a half-written target.
void SetProgress(CClientSocket& socket, ProgressTarget& target, oam_progress_fn fn, void* user) {
    socket.SetProgressHook(nullptr, 0);
    target.fn = fn;
    target.user = user;
    if (fn) socket.SetProgressHook(&ProgressTrampoline, reinterpret_cast<LONG_PTR>(&target));
}

void SessionTrampoline(LONG_PTR, const OAM_SESSION_EVENT* event, LONG_PTR user) {
    oam_session* session = reinterpret_cast<oam_session*>(user);
    oam_session_fn fn;
    void* host;
    {
        std::lock_guard<std::mutex> l(session->lock);
        fn = session->fn;
        host = session->user;
    }
    if (!fn) return;
    oam_session_event e{event->State, event->Cause, event->Code, event->Attempt, event->DelayMs,
                        event->Text ? event->Text : ""};
    fn(session, &e, host);
}

int32_t Exchange(oam_channel* channel, bool locked, const char* station, const char* command, const char* params,
                 char* reply, size_t replySize, size_t* replyLength) {
    if (!channel) return -1;
    return GuardedText<int32_t>(-1, {{reply, replySize}}, [&] {
        CString text;
        int result = locked ? channel->socket.SendCommand(OrEmpty(station), OrEmpty(command), OrEmpty(params), text)
                            : channel->socket.SendCommandEx(OrEmpty(station), OrEmpty(command), OrEmpty(params), text);
        CopyOut(text, reply, replySize);
        CopyOut(text, replyLength);
        return result;
    });
}

// Code pages the library can scan: the four double-byte ones, UTF-8, and
// single-byte pages that keep ASCII as it is, so that ";", "=", "[" and
// "]" are those bytes and never part of another character. Not UTF-16 or
// -32, UTF-7, GB18030, ISO-2022, EUC, HZ, EBCDIC, Johab nor the other
// double-byte pages: their text would be cut in the wrong places.
bool Scannable(uint32_t cp) {
    switch (cp) {
    case 0:  // the system's, which is always one of these
    case 932: case 936: case 949: case 950: case 65001:
    case 437: case 720: case 737: case 775: case 850: case 852: case 855: case 857: case 858: case 869:
    case 874:
    case 10000: case 10004: case 10005: case 10006: case 10007: case 10010: case 10017: case 10021:
    case 10029: case 10079: case 10081: case 10082:
    case 20127: case 20866: case 21866: case 28603: case 28605: case 38598:
        return true;
    default:
        return (cp >= 860 && cp <= 866) || (cp >= 1250 && cp <= 1258) || (cp >= 28591 && cp <= 28599);
    }
}

int32_t PeerName(const CString& address, unsigned int port, int result, char* buf, size_t size, uint32_t* portOut) {
    CopyOut(address, buf, size);
    if (portOut) *portOut = port;
    return result;
}

}  // namespace

// ---- library ---------------------------------------------------------------

uint32_t oam_version(void) { return OAMSDK_C_VERSION; }

int32_t oam_startup_succeeded(void) { return OamStartupSucceeded() ? 1 : 0; }

uint32_t oam_name_to_inet(const char* name) {
    return Guarded<uint32_t>(0, [&] { return static_cast<uint32_t>(CClientSocket::Name2Inet(name)); });
}

int32_t oam_library_version(char* buf, size_t size) {
    return GuardedText<int32_t>(-1, {{buf, size}}, [&] { return CopyOut(CString(OamLibraryVersion()), buf, size); });
}

int32_t oam_library_soname(char* buf, size_t size) {
    return GuardedText<int32_t>(-1, {{buf, size}}, [&] { return CopyOut(CString(OamLibrarySoname()), buf, size); });
}

int32_t oam_last_result_origin(void) { return OamLastResultOrigin(); }

int32_t oam_set_code_page(uint32_t code_page) {
    if (!Scannable(code_page)) return -1;
    return OamSetACP(code_page) ? 0 : -1;
}

uint32_t oam_code_page(void) { return OamGetACP(); }

// ---- command channel -------------------------------------------------------

oam_channel* oam_channel_new(void) {
    oam_channel* channel = New<oam_channel>();
    // Message 0x601 carries the C++ object's address: the header promises
    // that this is the handle, so the object must sit at its start.
    if (channel && static_cast<void*>(&channel->socket) != static_cast<void*>(channel)) {
        delete channel;
        return nullptr;
    }
    return channel;
}

void oam_channel_delete(oam_channel* channel) {
    Guarded<int>(0, [&] {
        delete channel;
        return 0;
    });
}

int32_t oam_channel_set_link_break(oam_channel* channel, void* window, oam_link_break_fn fn, void* user) {
    if (!channel) return -1;
    channel->linkBreak = fn;
    channel->user = user;
    channel->socket.SetWnd(static_cast<HWND>(window), fn ? &LinkBreakTrampoline : nullptr,
                           reinterpret_cast<LONG_PTR>(channel));
    return 0;
}

int32_t oam_channel_set_server_address(oam_channel* channel, const char* address) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] {
        channel->socket.SetServerAddress(OrEmpty(address));
        return 0;
    });
}

int32_t oam_channel_set_server(oam_channel* channel, const char* address, uint32_t port) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] {
        channel->socket.SetServerAddress(OrEmpty(address), port);
        return 0;
    });
}

int32_t oam_channel_connect(oam_channel* channel, const char* address, uint32_t port) {
    if (!channel) return 0;
    return Guarded<int32_t>(0, [&] { return channel->socket.Create(port, address); });
}

int32_t oam_channel_close(oam_channel* channel) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.Close(); });
}

int32_t oam_channel_send(oam_channel* channel, const void* data, int32_t length) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.Send(static_cast<const unsigned char*>(data), length); });
}

int32_t oam_channel_send_unlocked(oam_channel* channel, const void* data, int32_t length) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1,
                            [&] { return channel->socket.SendEx(static_cast<const unsigned char*>(data), length); });
}

int32_t oam_channel_local_ip(oam_channel* channel, char* buf, size_t size) {
    if (!channel) return -1;
    return GuardedText<int32_t>(-1, {{buf, size}}, [&] { return CopyOut(channel->socket.GetLocalIp(), buf, size); });
}

int32_t oam_channel_server_ip(oam_channel* channel, char* buf, size_t size) {
    if (!channel) return -1;
    return GuardedText<int32_t>(-1, {{buf, size}},
                                [&] { return CopyOut(CString(channel->socket.GetServerIp()), buf, size); });
}

int32_t oam_channel_notify_close(oam_channel* channel, int32_t error_code) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] {
        channel->socket.OnClose(error_code);
        return 0;
    });
}

int32_t oam_channel_command(oam_channel* channel, const char* station, const char* command, const char* params,
                            char* reply, size_t reply_size, size_t* reply_length) {
    return Exchange(channel, true, station, command, params, reply, reply_size, reply_length);
}

int32_t oam_channel_command_unlocked(oam_channel* channel, const char* station, const char* command,
                                     const char* params, char* reply, size_t reply_size, size_t* reply_length) {
    return Exchange(channel, false, station, command, params, reply, reply_size, reply_length);
}

int32_t oam_channel_receive_reply(oam_channel* channel, char* message, size_t message_size,
                                  size_t* message_length) {
    if (!channel) return -1;
    return GuardedText<int32_t>(-1, {{message, message_size}}, [&] {
        CString text;
        int result = channel->socket.ReceiveReturnMsg(text);
        CopyOut(text, message, message_size);
        CopyOut(text, message_length);
        return result;
    });
}

int32_t oam_channel_discard_input(oam_channel* channel) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] {
        channel->socket.ClearSocketBufferedData();
        return 0;
    });
}

int32_t oam_channel_stations(oam_channel* channel, STATION_STRUCT* stations, int32_t maximum) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.GetAllStation(stations, maximum); });
}

int32_t oam_channel_devices(oam_channel* channel, STATION_STRUCT* station) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.GetDeviceInfo(station); });
}

int32_t oam_channel_get_parameter(oam_channel* channel, const char* station, const char* name) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.GetVpmParameterValue(station, name); });
}

int32_t oam_channel_set_parameter(oam_channel* channel, const char* station, const char* name, int32_t value) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetVpmParameterValue(station, name, value); });
}

int32_t oam_channel_control(oam_channel* channel, const char* station, const char* name, int32_t value) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetVpmCtrlValue(station, name, value); });
}

int32_t oam_channel_upload(oam_channel* channel, const char* station, const char* file_name) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SendFile(station, file_name); });
}

int32_t oam_channel_download(oam_channel* channel, const char* station, const char* file_name) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.ReceiveFile(station, file_name); });
}

int32_t oam_channel_set_strict_session(oam_channel* channel, int32_t strict) {
    if (!channel) return -1;
    channel->socket.SetStrictSession(strict ? TRUE : FALSE);
    return 0;
}

int32_t oam_channel_strict_session(oam_channel* channel) {
    return channel && channel->socket.GetStrictSession() ? 1 : 0;
}

int32_t oam_channel_reply_session_matched(oam_channel* channel) {
    return channel && channel->socket.LastReplySessionMatched() ? 1 : 0;
}

int32_t oam_channel_reply_session_mismatched(oam_channel* channel) {
    return channel && channel->socket.LastReplySessionMismatched() ? 1 : 0;
}

int32_t oam_channel_set_command_timeout(oam_channel* channel, int32_t milliseconds) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetCommandTimeout(milliseconds); });
}

int32_t oam_channel_set_connect_timeout(oam_channel* channel, int32_t milliseconds) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetConnectTimeout(milliseconds); });
}

int32_t oam_channel_set_keep_alive(oam_channel* channel, int32_t idle_s, int32_t interval_s, int32_t count) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetKeepAlive(idle_s, interval_s, count); });
}

int32_t oam_channel_disable_keep_alive(oam_channel* channel) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.DisableKeepAlive(); });
}

int32_t oam_channel_set_upload_level(oam_channel* channel, int32_t level) {
    if (!channel) return -1;
    return Guarded<int32_t>(-1, [&] { return channel->socket.SetUploadLevel(level); });
}

int32_t oam_channel_set_progress(oam_channel* channel, oam_progress_fn fn, void* user) {
    if (!channel) return -1;
    SetProgress(channel->socket, channel->progress, fn, user);
    return 0;
}

// ---- reconnecting session --------------------------------------------------

oam_session* oam_session_new(void) {
    oam_session* session = New<oam_session>();
    if (session) session->session.SetCallback(&SessionTrampoline, reinterpret_cast<LONG_PTR>(session));
    return session;
}

void oam_session_delete(oam_session* session) {
    Guarded<int>(0, [&] {
        delete session;
        return 0;
    });
}

int32_t oam_session_set_server(oam_session* session, const char* address, uint32_t port) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        session->session.SetServer(OrEmpty(address), port);
        return 0;
    });
}

int32_t oam_session_set_login(oam_session* session, const char* params) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        session->session.SetLogin(OrEmpty(params));
        return 0;
    });
}

int32_t oam_session_set_backoff(oam_session* session, int32_t initial_ms, int32_t max_ms, int32_t jitter_percent,
                                int32_t max_attempts) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.SetBackoff(initial_ms, max_ms, jitter_percent, max_attempts);
    });
}

int32_t oam_session_set_callback(oam_session* session, oam_session_fn fn, void* user) {
    if (!session) return -1;
    std::lock_guard<std::mutex> l(session->lock);
    session->fn = fn;
    session->user = user;
    return 0;
}

int32_t oam_session_set_auto_reconnect(oam_session* session, int32_t background) {
    if (!session) return -1;
    session->session.SetAutoReconnect(background ? TRUE : FALSE);
    return 0;
}

int32_t oam_session_set_strict_session(oam_session* session, int32_t strict) {
    if (!session) return -1;
    session->session.Channel().SetStrictSession(strict ? TRUE : FALSE);
    return 0;
}

int32_t oam_session_set_command_timeout(oam_session* session, int32_t milliseconds) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.Channel().SetCommandTimeout(milliseconds); });
}

int32_t oam_session_set_connect_timeout(oam_session* session, int32_t milliseconds) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.Channel().SetConnectTimeout(milliseconds); });
}

int32_t oam_session_set_keep_alive(oam_session* session, int32_t idle_s, int32_t interval_s, int32_t count) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.Channel().SetKeepAlive(idle_s, interval_s, count); });
}

int32_t oam_session_disable_keep_alive(oam_session* session) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.Channel().DisableKeepAlive(); });
}

int32_t oam_session_set_upload_level(oam_session* session, int32_t level) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.Channel().SetUploadLevel(level); });
}

int32_t oam_session_set_progress(oam_session* session, oam_progress_fn fn, void* user) {
    if (!session) return -1;
    SetProgress(session->session.Channel(), session->progress, fn, user);
    return 0;
}

int32_t oam_session_open(oam_session* session) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.Open();
    });
}

int32_t oam_session_close(oam_session* session) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        session->session.Close();
        return 0;
    });
}

int32_t oam_session_state(oam_session* session) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] { return session->session.State(); });
}

int32_t oam_session_is_connected(oam_session* session) {
    return session && Guarded<bool>(false, [&] { return session->session.IsConnected() != FALSE; }) ? 1 : 0;
}

int32_t oam_session_command(oam_session* session, const char* station, const char* command, const char* params,
                            char* reply, size_t reply_size, size_t* reply_length) {
    if (!session) return -1;
    return GuardedText<int32_t>(-1, {{reply, reply_size}}, [&] {
        CString text;
        int result = session->session.SendCommand(OrEmpty(station), OrEmpty(command), OrEmpty(params), text);
        CopyOut(text, reply, reply_size);
        CopyOut(text, reply_length);
        return result;
    });
}

int32_t oam_session_stations(oam_session* session, STATION_STRUCT* stations, int32_t maximum) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.GetAllStation(stations, maximum);
    });
}

int32_t oam_session_devices(oam_session* session, STATION_STRUCT* station) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.GetDeviceInfo(station);
    });
}

int32_t oam_session_get_parameter(oam_session* session, const char* station, const char* name, int32_t* value) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        int v = 0;
        int result = session->session.GetVpmParameterValue(station, name, &v);
        if (value && result == 0) *value = v;
        return result;
    });
}

int32_t oam_session_set_parameter(oam_session* session, const char* station, const char* name, int32_t value) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.SetVpmParameterValue(station, name, value);
    });
}

int32_t oam_session_control(oam_session* session, const char* station, const char* name, int32_t value) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.SetVpmCtrlValue(station, name, value);
    });
}

int32_t oam_session_upload(oam_session* session, const char* station, const char* file_name) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.SendFile(station, file_name);
    });
}

int32_t oam_session_download(oam_session* session, const char* station, const char* file_name) {
    if (!session) return -1;
    return Guarded<int32_t>(-1, [&] {
        return session->session.ReceiveFile(station, file_name);
    });
}

// ---- alarm receiver --------------------------------------------------------

oam_alarm* oam_alarm_new(void) { return New<oam_alarm>(); }

void oam_alarm_delete(oam_alarm* receiver) {
    Guarded<int>(0, [&] {
        // The class leaves its socket to Close; a freed handle could never
        // close it again.
        if (receiver && receiver->socket.IsSocket() != 0) receiver->socket.Close();
        delete receiver;
        return 0;
    });
}

int32_t oam_alarm_add_peer(oam_alarm* receiver, const char* address) {
    if (!receiver) return -1;
    return Guarded<int32_t>(-1, [&] { return receiver->socket.PeerList.Add(OrEmpty(address)); });
}

int32_t oam_alarm_clear_peers(oam_alarm* receiver) {
    if (!receiver) return -1;
    receiver->socket.PeerList.RemoveAll();
    return 0;
}

int32_t oam_alarm_set_id(oam_alarm* receiver, const char* oam_id) {
    if (!receiver) return -1;
    return Guarded<int32_t>(-1, [&] {
        receiver->socket.OamId = OrEmpty(oam_id);
        return 0;
    });
}

int32_t oam_alarm_set_callback(oam_alarm* receiver, void* window, oam_alarm_fn fn, void* user) {
    if (!receiver) return -1;
    receiver->callback = fn;
    receiver->user = user;
    receiver->socket.Wnd = static_cast<HWND>(window);
    receiver->socket.Callback = fn ? &AlarmTrampoline : nullptr;
    receiver->socket.UserData = reinterpret_cast<LONG_PTR>(receiver);
    return 0;
}

int32_t oam_alarm_bind(oam_alarm* receiver, uint32_t port) {
    if (!receiver) return 0;
    return Guarded<int32_t>(0, [&] { return receiver->socket.Create(port, nullptr); });
}

int32_t oam_alarm_receive(oam_alarm* receiver) {
    if (!receiver) return -1;
    return Guarded<int32_t>(-1, [&] {
        receiver->socket.Receive();
        return 0;
    });
}

int32_t oam_alarm_close(oam_alarm* receiver) {
    if (!receiver) return -1;
    return Guarded<int32_t>(-1, [&] { return receiver->socket.Close(); });
}

int32_t oam_alarm_is_open(oam_alarm* receiver) {
    if (!receiver) return 0;
    return receiver->socket.IsSocket();
}

int32_t oam_alarm_peer_name(oam_alarm* receiver, char* address, size_t size, uint32_t* port) {
    if (!receiver) return 0;
    return GuardedText<int32_t>(0, {{address, size}}, [&] {
        CString text;
        unsigned int p = 0;
        int result = receiver->socket.GetPeerName(text, p);
        return PeerName(text, p, result, address, size, port);
    });
}

// ---- datagram socket -------------------------------------------------------

oam_udp* oam_udp_new(void) { return New<oam_udp>(); }

oam_udp* oam_udp_copy(const oam_udp* socket) {
    if (!socket) return nullptr;
    try {
        return new oam_udp{socket->socket};
    } catch (...) {
        return nullptr;
    }
}

void oam_udp_delete(oam_udp* socket) {
    Guarded<int>(0, [&] {
        delete socket;
        return 0;
    });
}

int32_t oam_udp_bind(oam_udp* socket, uint32_t port, const char* addr) {
    if (!socket) return 0;
    return Guarded<int32_t>(0, [&] { return socket->socket.Create(port, addr); });
}

int32_t oam_udp_close(oam_udp* socket) {
    if (!socket) return -1;
    return Guarded<int32_t>(-1, [&] { return socket->socket.Destroy(); });
}

int32_t oam_udp_send_to(const oam_udp* socket, const void* data, int32_t length, const char* host, uint16_t port) {
    if (!socket) return -1;
    return Guarded<int32_t>(-1, [&] {
        return socket->socket.SendTo(static_cast<const char*>(data), length, host, port);
    });
}

int32_t oam_udp_send(const oam_udp* socket, const void* data, int32_t length) {
    if (!socket) return -1;
    return Guarded<int32_t>(-1, [&] { return socket->socket.Send(static_cast<const char*>(data), length); });
}

int32_t oam_udp_recv_from(const oam_udp* socket, void* buffer, int32_t length, char* from, size_t from_size,
                          uint32_t* from_port) {
    if (!socket) return -1;
    return GuardedText<int32_t>(-1, {{from, from_size}}, [&] {
        sockaddr_in sender;
        memset(&sender, 0, sizeof sender);
        int result = socket->socket.RecvFrom(static_cast<char*>(buffer), length, reinterpret_cast<sockaddr*>(&sender));
        if (result >= 0) {
            const char* text = win::inet_ntoa(sender.sin_addr);
            CopyOut(CString(text), from, from_size);
            if (from_port) *from_port = ntohs(sender.sin_port);
        } else if (from && from_size) {
            from[0] = '\0';  // nothing received: no sender
        }
        return result;
    });
}

int32_t oam_udp_wait(const oam_udp* socket, uint32_t timeout_ms) {
    if (!socket) return -1;
    WSAEVENT event = socket->socket.GetEvent();
    if (socket->socket.IsSocket() <= 0 || event == WSA_INVALID_EVENT) return -1;
    DWORD r = win::WSAWaitForMultipleEvents(1, &event, FALSE, timeout_ms, FALSE);
    if (r == WSA_WAIT_EVENT_0) return 1;
    return r == WSA_WAIT_TIMEOUT ? 0 : -1;
}

int32_t oam_udp_set_remote(oam_udp* socket, const char* host, uint32_t port) {
    if (!socket) return -1;
    socket->socket.SetRemoteAddress(host, port);
    return 0;
}

int32_t oam_udp_remote(const oam_udp* socket, char* host, size_t size, uint32_t* port) {
    if (!socket) return -1;
    return GuardedText<int32_t>(-1, {{host, size}}, [&] {
        CString text;
        unsigned int p = 0;
        socket->socket.GetRemoteAddress(text, p);
        if (port) *port = p;
        return CopyOut(text, host, size);
    });
}

int32_t oam_udp_peer_name(const oam_udp* socket, char* address, size_t size, uint32_t* port) {
    if (!socket) return 0;
    return GuardedText<int32_t>(0, {{address, size}}, [&] {
        CString text;
        unsigned int p = 0;
        int result = socket->socket.GetPeerName(text, p);
        return PeerName(text, p, result, address, size, port);
    });
}

int32_t oam_udp_is_open(const oam_udp* socket) { return socket ? socket->socket.IsSocket() : 0; }

int32_t oam_udp_set_used(oam_udp* socket, int32_t used) {
    if (!socket) return -1;
    socket->socket.SetUsed(used);
    return 0;
}

int32_t oam_udp_is_used(const oam_udp* socket) { return socket ? socket->socket.IsUsedSocket() : 0; }

// ---- codec -----------------------------------------------------------------

int32_t oam_codec_pop_name_value(char* text, char* name, size_t name_size, char* value, size_t value_size,
                                 int32_t pop) {
    return GuardedText<int32_t>(-1, {{name, name_size}, {value, value_size}}, [&] {
        InOut t(text);
        CString n, v;
        int result = COamCommand().PopNameValue(*t, n, v, pop);
        t.Store();
        CopyOut(n, name, name_size);
        CopyOut(v, value, value_size);
        return result;
    });
}

int32_t oam_codec_pop_int(char* text, const char* name) {
    return Guarded<int32_t>(65535, [&] {
        InOut t(text);
        int result = COamCommand().PopIntValue(*t, OrEmpty(name));
        t.Store();
        return result;
    });
}

double oam_codec_pop_float(char* text, const char* name) {
    return Guarded<double>(0.0, [&] {
        InOut t(text);
        double result = COamCommand().PopFloatValue(*t, OrEmpty(name));
        t.Store();
        return result;
    });
}

int32_t oam_codec_pop_session_id(char* text) {
    return Guarded<int32_t>(-1, [&] {
        InOut t(text);
        int result = COamCommand().PopSessionID(*t);
        t.Store();
        return result;
    });
}

int32_t oam_codec_pop_return_code(char* text) {
    return Guarded<int32_t>(-1, [&] {
        InOut t(text);
        int result = COamCommand().PopReturnCode(*t);
        t.Store();
        return result;
    });
}

int32_t oam_codec_pop_command_id(char* text, char* value, size_t size) {
    return GuardedText<int32_t>(-1, {{value, size}}, [&] {
        InOut t(text);
        CString result = COamCommand().PopCommandID(*t);
        t.Store();
        return CopyOut(result, value, size);
    });
}

int32_t oam_codec_pop_station_id(char* text, char* value, size_t size) {
    return GuardedText<int32_t>(-1, {{value, size}}, [&] {
        InOut t(text);
        CString result = COamCommand().PopStationID(*t);
        t.Store();
        return CopyOut(result, value, size);
    });
}

int32_t oam_codec_get_name_value(const char* text, const char* name, char* value, size_t size) {
    return GuardedText<int32_t>(0, {{value, size}}, [&] {
        CString v;
        int result = COamCommand().GetNameValue(OrEmpty(text), OrEmpty(name), v);
        CopyOut(v, value, size);
        return result;
    });
}

int32_t oam_codec_split(const char* text, char* left, size_t left_size, char* right, size_t right_size) {
    return GuardedText<int32_t>(0, {{left, left_size}, {right, right_size}}, [&] {
        CString t(OrEmpty(text)), l, r;
        int result = COamCommand().SplitString(t, l, r);
        CopyOut(l, left, left_size);
        CopyOut(r, right, right_size);
        return result;
    });
}

int32_t oam_codec_pop_value_name(char* text, char* value, size_t value_size, char* name, size_t name_size) {
    return GuardedText<int32_t>(0, {{value, value_size}, {name, name_size}}, [&] {
        InOut t(text);
        CString v, n;
        int result = COamCommand().PopValueName(*t, v, n);
        t.Store();
        CopyOut(v, value, value_size);
        CopyOut(n, name, name_size);
        return result;
    });
}

int32_t oam_codec_station_entry(char* text, char* id, size_t id_size, char* name, size_t name_size,
                                int32_t* number) {
    return GuardedText<int32_t>(0, {{id, id_size}, {name, name_size}}, [&] {
        InOut t(text);
        CString i, n;
        int num = 0;
        int result = COamCommand().GetStationName(*t, i, n, num);
        t.Store();
        CopyOut(i, id, id_size);
        CopyOut(n, name, name_size);
        if (number) *number = num;
        return result;
    });
}

int32_t oam_codec_device_entry(char* text, WACDEVICE_STRUCT* device) {
    return Guarded<int32_t>(0, [&] {
        InOut t(text);
        int result = COamCommand().GetDeviceInfo(*t, device);
        t.Store();
        return result;
    });
}

int32_t oam_codec_ptz_entry(char* text, PTZDEVICE_STRUCT* ptz) {
    if (!ptz) return 0;
    return Guarded<int32_t>(0, [&] {
        InOut t(text);
        int result = COamCommand().GetPtzInfo(*t, ptz);
        t.Store();
        return result;
    });
}

// ---- Corbex ----------------------------------------------------------------

int32_t oam_log_set_hook(int32_t sink, oam_log_fn fn, void* user) {
    if (sink != OAM_SINK_R && sink != OAM_SINK_D) return -1;
    // The same shape as Corbex's own hook type; only the language differs.
    CFunction::SetSinkHook(sink, reinterpret_cast<CFunction::SinkHook>(fn), user);
    return 0;
}

int32_t oam_log(int32_t sink, const char* message) {
    if (sink != OAM_SINK_R && sink != OAM_SINK_D) return -1;
    return Guarded<int32_t>(-1, [&] {
        if (sink == OAM_SINK_R)
            CFunction::RLog("%s", OrEmpty(message));
        else
            CFunction::DLog("%s", OrEmpty(message));
        return 0;
    });
}

uint32_t oam_last_error(void) { return GetLastError(); }

int32_t oam_last_error_text(char* buf, size_t size) {
    return GuardedText<int32_t>(-1, {{buf, size}}, [&] { return CopyOut(CFunction::GetLastErrorString(), buf, size); });
}

int32_t oam_module_dir(char* buf, size_t size) {
    return GuardedText<int32_t>(-1, {{buf, size}},
                                [&] { return CopyOut(CFunction::GetCurrentModuleDir(), buf, size); });
}

int32_t oam_base64_decode(const char* text, unsigned char* out, int32_t capacity) {
    return Base64::base64ToBin(text, out, capacity);
}

int32_t oam_base64_text_size(uint32_t n) { return Base64::calculateBase64Len(n); }

int32_t oam_base64_binary_size(uint32_t n) { return Base64::calculateBinLen(n); }

int32_t oam_md5(const void* data, uint32_t length, char* digest) {
    if (!digest) return -1;
    return GuardedText<int32_t>(-1, {{digest, OAM_MD5_SIZE}}, [&] {
        CString text;
        int result = CMD5().DigestBinary(static_cast<const unsigned char*>(data), length, text);
        CopyOut(text, digest, OAM_MD5_SIZE);
        return result;
    });
}
