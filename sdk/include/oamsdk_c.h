/* oamsdk_c.h: the plain C interface of liboamsdk.
 *
 * The same library that exports the C++ classes exports these functions,
 * for hosts built with another compiler or runtime and for other languages
 * (ctypes, P/Invoke). Valid C99 and C++.
 *
 * Conventions, for every function below:
 *  - Objects are opaque handles made by oam_*_new and released by
 *    oam_*_delete. A null handle is refused with the function's failure
 *    value (-1 unless said otherwise) and touches nothing.
 *  - Results are those of the C++ operation each function wraps (same
 *    numbers); each declaration says which.
 *  - No C++ exception leaves a function: running out of memory inside one
 *    gives its failure value.
 *  - Texts are NUL-terminated single-byte strings in the process's ANSI
 *    code page; a null text argument counts as "". Text results are copied
 *    into a caller buffer (buf, size) with a NUL, cut to fit and never in
 *    the middle of a double-byte character; such functions give the full
 *    length of the text (so a result >= size means it was cut), or -1.
 *    An output the operation did not store is set to "".
 *  - Codec functions that "pop" take an in/out text: what is left after
 *    the pop is written back over it (it never grows).
 *  - Callbacks are C function pointers with the host's void* user value,
 *    called on the thread the C++ class calls its own callback on.
 */
#ifndef OAMSDK_C_H
#define OAMSDK_C_H

#include <stddef.h>
#include <stdint.h>

#include "OamRecords.h"
#include "oam_api.h"
#include "oamsdk_version.h"

/* The library's version (one, the project's, generated into
 * oamsdk_version.h). */
#define OAMSDK_C_VERSION_MAJOR OAMSDK_VERSION_MAJOR
#define OAMSDK_C_VERSION_MINOR OAMSDK_VERSION_MINOR
#define OAMSDK_C_VERSION_PATCH OAMSDK_VERSION_PATCH
/* major << 16 | minor << 8 | patch: 0x010100 is 1.1.0. 1.1 added the
 * channel's settings and progress, the session and the library's names. */
#define OAMSDK_C_VERSION \
    ((OAMSDK_C_VERSION_MAJOR << 16) | (OAMSDK_C_VERSION_MINOR << 8) | OAMSDK_C_VERSION_PATCH)

/* Longest reply a command can give: a buffer of OAM_REPLY_MAX + 1 bytes
 * always holds it whole. */
#define OAM_REPLY_MAX 60000
/* Room for dotted IPv4 text with its NUL. */
#define OAM_ADDRESS_SIZE 16
/* Room for an MD5 digest as text: 32 hex digits and the NUL. */
#define OAM_MD5_SIZE 33
/* Log sinks: failures (RLog) and traffic (DLog). */
#define OAM_SINK_R 0
#define OAM_SINK_D 1

/* Results of oam_channel_download besides 0, 1 and the server's 7. */
#define OAM_DOWNLOAD_NO_BUFFER 101       /* announced archive over 1 GiB or not allocatable */
#define OAM_DOWNLOAD_BAD_LENGTH 102      /* fewer or more archive bytes than announced */
#define OAM_DOWNLOAD_BAD_DIGEST 103      /* digest of the bytes received differs */
#define OAM_DOWNLOAD_BAD_ARCHIVE 104     /* the bytes are no archive or hold no entry */
#define OAM_DOWNLOAD_ENTRY_TOO_LARGE 105 /* entry 0 over 1 GiB or not allocatable */
#define OAM_DOWNLOAD_BAD_ENTRY 106       /* entry 0 does not extract whole or fails its CRC */
#define OAM_DOWNLOAD_CREATE_FAILED 107   /* the local file cannot be created */
#define OAM_DOWNLOAD_WRITE_FAILED 108    /* writing or closing it failed */
#define OAM_DOWNLOAD_RENAME_FAILED 109   /* it cannot be moved into place */

/* Results of the settings of a channel or session besides 0. */
#define OAM_SETTING_OK 0
#define OAM_SETTING_BAD_VALUE (-2) /* zero, negative or out of range: nothing changed */
#define OAM_SETTING_FAILED (-3)    /* the connected socket refused it (oam_last_error tells why); kept for
                                      the next connect */

/* Phases of a file transfer, as given to an oam_progress_fn, with what its
 * total counts. */
#define OAM_PROGRESS_PACKING 0   /* upload: the file is packed (the file's bytes) */
#define OAM_PROGRESS_SENDING 1   /* upload: the archive goes out (the archive's bytes) */
#define OAM_PROGRESS_RECEIVING 2 /* download: the archive comes in (the announced bytes) */
#define OAM_PROGRESS_UNPACKING 3 /* download: the entry is written (the file's bytes) */
/* Result of an upload or download that the progress callback cancelled.
 * Cancelled while packing or unpacking: the channel stays usable. Cancelled
 * while sending or receiving: the connection is closed and the link-break
 * notification given (close and connect again). A cancelled download never
 * leaves a file of the requested name. */
#define OAM_PROGRESS_CANCELLED 110

/* Session states, as reported to an oam_session_fn and by
 * oam_session_state. */
#define OAM_STATE_CONNECTED 0    /* oam_session_open connected and logged in */
#define OAM_STATE_LOST 1         /* the link went away (cause tells how) */
#define OAM_STATE_RECONNECTING 2 /* an attempt starts (attempt; delay_ms: the wait before it) */
#define OAM_STATE_RESTORED 3     /* reconnected and logged in again */
#define OAM_STATE_GIVEN_UP 4     /* no further attempts until oam_session_open (cause tells why) */
#define OAM_STATE_CLOSED 5       /* oam_session_close, or the session is being deleted */
/* Causes of a session event. */
#define OAM_REASON_NONE 0
#define OAM_REASON_LINK_BREAK 1      /* the channel's link-break notification (code: the socket error if known) */
#define OAM_REASON_CONNECTION_GONE 2 /* a command found the connection closed or failed (code) */
#define OAM_REASON_CONNECT_FAILED 3  /* an attempt could not connect (code: 10061, 10060, ...) */
#define OAM_REASON_NO_LOGIN_REPLY 4  /* connected, but the log-in got no usable reply */
#define OAM_REASON_LOGIN_REFUSED 5   /* the server refused the log-in (code: its RETURNCODE; text: its reply) */
#define OAM_REASON_ATTEMPTS_USED 6   /* the configured number of attempts ran out */
#define OAM_REASON_DESYNCHRONISED 7  /* a reply for another command came: the link cannot be trusted */
#define OAM_REASON_HOST 8            /* the host closed or deleted the session */
/* Results of the session's operations besides the channel's own. A server
 * may send these numbers as its RETURNCODE too: oam_last_result_origin
 * tells which it was. */
#define OAM_LINK_DOWN (-2)       /* the link is down (reconnecting or given up): nothing was sent */
#define OAM_BUSY (-3)            /* oam_session_open while the session is open; a session call made
                                  * from inside one of that session's calls on the same thread (a
                                  * progress callback) */
#define OAM_DESYNCHRONISED (-4)  /* the reply was another command's: nothing of it is given, the
                                  * link is rebuilt */
/* Where the result of this thread's last command came from (see
 * oam_last_result_origin). */
#define OAM_RESULT_NONE 0     /* no command on this thread yet */
#define OAM_RESULT_SERVER 1   /* the server's answer: its RETURNCODE (0 accepted), or what was read from it */
#define OAM_RESULT_LIBRARY 2  /* the library's own: no usable reply, nothing sent, a local failure */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oam_channel oam_channel;
typedef struct oam_alarm oam_alarm;
typedef struct oam_udp oam_udp;
typedef struct oam_session oam_session;

/* Link break: the channel's handle and the host's user value. Runs on the
 * thread whose command found the link broken, with the channel lock held:
 * it may issue commands and oam_channel_close on that channel, but must not
 * delete it. */
typedef void (*oam_link_break_fn)(oam_channel* channel, void* user);
/* Alarm: the receiver's record, valid only during the call (copy it), and
 * the host's user value. Runs on the thread inside oam_alarm_receive. */
typedef void (*oam_alarm_fn)(const ALARM_STRUCT* alarm, void* user);
/* Log message of a sink (OAM_SINK_R or OAM_SINK_D), as formatted, without
 * time stamp or line end. Calls never overlap. */
typedef void (*oam_log_fn)(int32_t sink, const char* message, void* user);

/* Progress of a file transfer: bytes done of total in phase (an
 * OAM_PROGRESS_* phase), and the host's user value. Runs on the thread of
 * the upload or download, with the channel lock held: at the start of each
 * phase, then at most every 64 KiB or 100 ms, and once at the end (done ==
 * total of the last phase). Non-zero cancels the transfer, which then gives
 * OAM_PROGRESS_CANCELLED, except on the upload's final sending report: the
 * server has every byte by then, so the cancel is ignored and the upload's
 * own result stands. Must not call the channel (no command, close or
 * delete); a session's command from it gives OAM_BUSY at once, and
 * oam_session_close may be called (the transfer then fails, unless nothing
 * was left to do). Must not
 * delete the channel or session. */
typedef int32_t (*oam_progress_fn)(int64_t done, int64_t total, int32_t phase, void* user);
/* What a session reports: an OAM_STATE_* state, an OAM_REASON_* cause, code
 * (the socket error or the server's RETURNCODE, per cause; else 0), attempt
 * (1, 2, ... for RECONNECTING, RESTORED and LOST after a failed attempt;
 * else 0), delay_ms (RECONNECTING: the back-off waited before it) and a
 * short explanation text (never NULL, valid during the call only). */
typedef struct oam_session_event {
    int32_t state;
    int32_t cause;
    int32_t code;
    int32_t attempt;
    int32_t delay_ms;
    const char* text;
} oam_session_event;
/* A session's state change: its handle, the event (valid during the call
 * only) and the host's user value. Without automatic reconnection it runs
 * on the thread of the call that noticed the change (open, a command,
 * close, delete); with it, attempts and their outcomes are reported on the
 * session's own thread. Never with a lock of the session held: it may issue
 * commands (they give OAM_LINK_DOWN at once while the link is down) and
 * call oam_session_close, but must not delete the session. */
typedef void (*oam_session_fn)(oam_session* session, const oam_session_event* event, void* user);

/* ---- library ------------------------------------------------------------ */

/* OAMSDK_C_VERSION of the library actually loaded. */
OAMSDK_API uint32_t oam_version(void);
/* 1 when the library's start-up (its socket layer) succeeded, 0 when not:
 * treat 0 as a failed load. */
OAMSDK_API int32_t oam_startup_succeeded(void);
/* Address in network byte order of a host name or dotted text (the rule
 * all three socket classes share): 0 for "" or null, INADDR_NONE
 * (0xFFFFFFFF) for malformed dotted text, 0 for a name that does not
 * resolve. */
OAMSDK_API uint32_t oam_name_to_inet(const char* name);
/* The version of the library file actually loaded ("1.0.0") and the file
 * name it was built to be loaded as ("liboamsdk.so.1"): text-result
 * convention. */
OAMSDK_API int32_t oam_library_version(char* buf, size_t size);
OAMSDK_API int32_t oam_library_soname(char* buf, size_t size);
/* OAM_RESULT_* origin of the result of the last command, query, parameter
 * command, transfer or session open this thread ran: whether a failure was
 * the server's refusal (its RETURNCODE, whatever the number) or the
 * library's own. Read it right after the call, as oam_last_error. */
OAMSDK_API int32_t oam_last_result_origin(void);
/* The code page protocol text is read and written in (names, replies,
 * alarm texts): 932, 936, 949, 950, 65001 or a single-byte page. 0 goes
 * back to the system's. Gives 0, or -1 for a page the library cannot scan
 * (nothing changed). Set it before any channel, receiver or session is
 * used. */
OAMSDK_API int32_t oam_set_code_page(uint32_t code_page);
/* The code page in force now. */
OAMSDK_API uint32_t oam_code_page(void);

/* ---- command channel (CClientSocket) ------------------------------------ */

/* A new, unconnected channel; NULL when memory runs out. */
OAMSDK_API oam_channel* oam_channel_new(void);
/* Closes the connection, if any, and frees the channel. Not while another
 * thread uses it, nor from its link-break callback. */
OAMSDK_API void oam_channel_delete(oam_channel* channel);
/* The link-break notification: window (an HWND, or NULL) receives message
 * 0x601 (wParam 100, lParam the channel handle), then fn (or NULL) is
 * called; both optional. Gives 0. */
OAMSDK_API int32_t oam_channel_set_link_break(oam_channel* channel, void* window, oam_link_break_fn fn,
                                              void* user);
/* Stores the server's address (and port) without connecting. Gives 0. */
OAMSDK_API int32_t oam_channel_set_server_address(oam_channel* channel, const char* address);
OAMSDK_API int32_t oam_channel_set_server(oam_channel* channel, const char* address, uint32_t port);
/* Connects to address:port: 1 connected, 0 failed (see oam_last_error). */
OAMSDK_API int32_t oam_channel_connect(oam_channel* channel, const char* address, uint32_t port);
/* Closes the connection: 0, or -1 when there was none or closing failed. */
OAMSDK_API int32_t oam_channel_close(oam_channel* channel);
/* Raw bytes on the connection: the send's result (bytes sent or -1).
 * oam_channel_send takes the channel lock; oam_channel_send_unlocked not. */
OAMSDK_API int32_t oam_channel_send(oam_channel* channel, const void* data, int32_t length);
OAMSDK_API int32_t oam_channel_send_unlocked(oam_channel* channel, const void* data, int32_t length);
/* Dotted text of the connection's local address (of the local host when
 * not connected); of the stored server address. Text-result convention. */
OAMSDK_API int32_t oam_channel_local_ip(oam_channel* channel, char* buf, size_t size);
OAMSDK_API int32_t oam_channel_server_ip(oam_channel* channel, char* buf, size_t size);
/* Reports a connection closed under the host: the link-break notification
 * (window message sent and waited for, then the callback), once per
 * connection. Gives 0. */
OAMSDK_API int32_t oam_channel_notify_close(oam_channel* channel, int32_t error_code);

/* One command exchange under the channel lock: station may be "" (a
 * "Login" carries none), params are "NAME=VALUE;" pairs. Result: the
 * server's RETURNCODE (0 accepted, any other value its refusal) or -1 when
 * no usable reply came. reply (may be NULL) receives what follows the
 * SESSIONID and RETURNCODE pairs: the answer, or the server's reason on a
 * refusal; *reply_length (may be NULL) its full length. */
OAMSDK_API int32_t oam_channel_command(oam_channel* channel, const char* station, const char* command,
                                       const char* params, char* reply, size_t reply_size,
                                       size_t* reply_length);
/* The same exchange without taking the channel lock. */
OAMSDK_API int32_t oam_channel_command_unlocked(oam_channel* channel, const char* station, const char* command,
                                                const char* params, char* reply, size_t reply_size,
                                                size_t* reply_length);
/* One more receive on the connection: 0 when a reply came (message then
 * holds its rest if its RETURNCODE is not 0, else ""), -1 when none came. */
OAMSDK_API int32_t oam_channel_receive_reply(oam_channel* channel, char* message, size_t message_size,
                                             size_t* message_length);
/* Throws away whatever waits unread on the connection. Gives 0. */
OAMSDK_API int32_t oam_channel_discard_input(oam_channel* channel);

/* All stations: with stations NULL the number of stations; else fills up
 * to maximum records and gives how many (0 for maximum < 1). A failed
 * exchange gives its result (-1, or the server's code, which looks like a
 * count: check the trace where it matters). */
OAMSDK_API int32_t oam_channel_stations(oam_channel* channel, STATION_STRUCT* stations, int32_t maximum);
/* Fills DeviceCount and Device[] of the station whose StationID is set:
 * the device count, or the failed exchange's result; -1 for NULL. */
OAMSDK_API int32_t oam_channel_devices(oam_channel* channel, STATION_STRUCT* station);
/* A parameter's value; -1 for every failure. */
OAMSDK_API int32_t oam_channel_get_parameter(oam_channel* channel, const char* station, const char* name);
/* Set a parameter / send a control value: 0, the server's code, or -1. */
OAMSDK_API int32_t oam_channel_set_parameter(oam_channel* channel, const char* station, const char* name,
                                             int32_t value);
OAMSDK_API int32_t oam_channel_control(oam_channel* channel, const char* station, const char* name,
                                       int32_t value);
/* Uploads file_name (relative to the module directory, oam_module_dir):
 * 0 when the server's final reply came (whatever its verdict), 1 or -1 on
 * failure, OAM_PROGRESS_CANCELLED. */
OAMSDK_API int32_t oam_channel_upload(oam_channel* channel, const char* station, const char* file_name);
/* Downloads file_name into the module directory: 0 written; 1; the
 * server's 7 (no such file); an OAM_DOWNLOAD_* code; or
 * OAM_PROGRESS_CANCELLED. Never leaves a
 * partial file of that name. */
OAMSDK_API int32_t oam_channel_download(oam_channel* channel, const char* station, const char* file_name);

/* Strict session mode (off by default; a channel that never turns it on
 * behaves as before). On: a reply whose SESSIONID is not the request's is
 * logged and thrown away and reading goes on, within what is left of the
 * receive time-out, for the request's own; none in time gives -1, never
 * another command's reply. Needs a server that echoes SESSIONID. Gives 0;
 * oam_channel_strict_session 1 on, 0 off (0 for NULL). */
OAMSDK_API int32_t oam_channel_set_strict_session(oam_channel* channel, int32_t strict);
OAMSDK_API int32_t oam_channel_strict_session(oam_channel* channel);
/* The last command exchange: 1 when it took a reply carrying its request's
 * SESSIONID, else 0 (also before any exchange, after one that got no reply,
 * and for NULL); mismatched: 1 when it read a reply carrying another
 * SESSIONID and did not end with its own (taken in the default mode,
 * discarded in strict mode), else 0. oam_channel_receive_reply leaves both
 * alone. Read them on the thread that issued the command. */
OAMSDK_API int32_t oam_channel_reply_session_matched(oam_channel* channel);
OAMSDK_API int32_t oam_channel_reply_session_mismatched(oam_channel* channel);
/* Settings of the channel object: they apply at once to a held connection
 * and to every later connect; set them from the thread that connects.
 * Each gives OAM_SETTING_OK, OAM_SETTING_BAD_VALUE or OAM_SETTING_FAILED.
 * Command time-out: each send and receive of a command, data phases
 * included (default 15000 ms), 1..86400000 ms. Connect time-out (default:
 * the system's own): 1..86400000 ms; a connect that runs out fails with
 * oam_last_error 10060 (WSAETIMEDOUT). Keep-alive: the first probe after
 * idle_s seconds without traffic, then every interval_s, the link dead after
 * count unanswered probes (seconds 1..32767, count 1..127); a dead link
 * found so fails the command waiting on it, or the next, with -1. A system
 * that takes the timing but not the count (Windows before 10 1709, Wine)
 * keeps its own number of probes: OAM_SETTING_FAILED (oam_last_error 10042,
 * WSAENOPROTOOPT), keep-alive on with the timing applied. */
OAMSDK_API int32_t oam_channel_set_command_timeout(oam_channel* channel, int32_t milliseconds);
OAMSDK_API int32_t oam_channel_set_connect_timeout(oam_channel* channel, int32_t milliseconds);
OAMSDK_API int32_t oam_channel_set_keep_alive(oam_channel* channel, int32_t idle_s, int32_t interval_s,
                                              int32_t count);
OAMSDK_API int32_t oam_channel_disable_keep_alive(oam_channel* channel);
/* Deflate level of the archives oam_channel_upload packs from now on: 1
 * (fastest) to 12 (smallest), default 6. OAM_SETTING_OK, or
 * OAM_SETTING_BAD_VALUE (nothing changed) outside 1..12. A build that packs
 * with zlib (Windows) takes 10-12 as 9. */
OAMSDK_API int32_t oam_channel_set_upload_level(oam_channel* channel, int32_t level);
/* Progress and cancel of oam_channel_upload and oam_channel_download; fn
 * NULL removes it. Not while a transfer runs. Gives 0. */
OAMSDK_API int32_t oam_channel_set_progress(oam_channel* channel, oam_progress_fn fn, void* user);

/* ---- reconnecting session (COamSession) --------------------------------- */

/* A channel that reconnects and logs in again by itself after the link is
 * lost, with back-off; it never sends a command again. Settings (server,
 * log-in, back-off, callback, background thread, the channel's settings)
 * go before oam_session_open. */

/* A new, closed session (server 127.0.0.1:9000, no log-in); NULL when
 * memory runs out. */
OAMSDK_API oam_session* oam_session_new(void);
/* Stops promptly (a reconnect under way is cut short, the background
 * thread joined), reports OAM_STATE_CLOSED if open, and frees it. Not from
 * its callback, nor while another thread uses it. */
OAMSDK_API void oam_session_delete(oam_session* session);
/* The server to connect to. Gives 0. */
OAMSDK_API int32_t oam_session_set_server(oam_session* session, const char* address, uint32_t port);
/* The log-in's parameters, e.g. "User=admin;Password=admin;"; "" (the
 * default): no log-in. Gives 0. */
OAMSDK_API int32_t oam_session_set_login(oam_session* session, const char* params);
/* Back-off between attempts: the first waits initial_ms, each next twice
 * the last up to max_ms, each less a random part of at most jitter_percent
 * (0..100); max_attempts 0: for ever. Defaults 500, 30000, 20, 0.
 * OAM_SETTING_OK, or OAM_SETTING_BAD_VALUE for values out of range. */
OAMSDK_API int32_t oam_session_set_backoff(oam_session* session, int32_t initial_ms, int32_t max_ms,
                                           int32_t jitter_percent, int32_t max_attempts);
/* The state callback (see oam_session_fn); fn NULL removes it. Gives 0. */
OAMSDK_API int32_t oam_session_set_callback(oam_session* session, oam_session_fn fn, void* user);
/* 0 (the default): no thread is started; after a loss, the next command
 * whose back-off wait is over reconnects first, on its own thread, and the
 * others give OAM_LINK_DOWN. Non-zero: a thread of the session reconnects
 * in the background as soon as the back-off allows and, while connected,
 * looks at the idle connection about once a second. Gives 0. */
OAMSDK_API int32_t oam_session_set_auto_reconnect(oam_session* session, int32_t background);
/* The session's channel settings, as oam_channel_set_strict_session,
 * oam_channel_set_command_timeout, oam_channel_set_connect_timeout,
 * oam_channel_set_keep_alive, oam_channel_disable_keep_alive,
 * oam_channel_set_upload_level and oam_channel_set_progress (same
 * results). */
OAMSDK_API int32_t oam_session_set_strict_session(oam_session* session, int32_t strict);
OAMSDK_API int32_t oam_session_set_command_timeout(oam_session* session, int32_t milliseconds);
OAMSDK_API int32_t oam_session_set_connect_timeout(oam_session* session, int32_t milliseconds);
OAMSDK_API int32_t oam_session_set_keep_alive(oam_session* session, int32_t idle_s, int32_t interval_s,
                                              int32_t count);
OAMSDK_API int32_t oam_session_disable_keep_alive(oam_session* session);
OAMSDK_API int32_t oam_session_set_upload_level(oam_session* session, int32_t level);
OAMSDK_API int32_t oam_session_set_progress(oam_session* session, oam_progress_fn fn, void* user);
/* Connects and logs in once (no retry): 0; -1 no connection or no usable
 * log-in reply (oam_last_error); the server's code when it refused the
 * log-in; OAM_BUSY when already open. Also the way back after
 * OAM_STATE_GIVEN_UP. */
OAMSDK_API int32_t oam_session_open(oam_session* session);
/* Closes the link and stops reconnecting (reports OAM_STATE_CLOSED if it
 * was open); oam_session_open may follow. A command or transfer in flight
 * on another thread is woken and fails, so it returns within a second.
 * Gives 0. */
OAMSDK_API int32_t oam_session_close(oam_session* session);
/* The OAM_STATE_* state of the link now (while up: CONNECTED after open,
 * RESTORED after a reconnect since then). */
OAMSDK_API int32_t oam_session_state(oam_session* session);
/* 1 while the link is up, else 0 (0 for NULL). */
OAMSDK_API int32_t oam_session_is_connected(oam_session* session);
/* The channel's operations through the session: the same arguments and
 * results as their oam_channel_* namesakes, plus OAM_LINK_DOWN when the
 * link is down, OAM_DESYNCHRONISED when the reply was another command's
 * and OAM_BUSY from inside one of the session's calls on the same thread.
 * A command that finds the link gone gives the channel's result and leaves
 * the reconnect to the session. */
OAMSDK_API int32_t oam_session_command(oam_session* session, const char* station, const char* command,
                                       const char* params, char* reply, size_t reply_size,
                                       size_t* reply_length);
OAMSDK_API int32_t oam_session_stations(oam_session* session, STATION_STRUCT* stations, int32_t maximum);
OAMSDK_API int32_t oam_session_devices(oam_session* session, STATION_STRUCT* station);
/* Unlike oam_channel_get_parameter: 0 and *value (may be NULL), or the
 * exchange's failure (-1, the server's code, a session result). */
OAMSDK_API int32_t oam_session_get_parameter(oam_session* session, const char* station, const char* name,
                                             int32_t* value);
OAMSDK_API int32_t oam_session_set_parameter(oam_session* session, const char* station, const char* name,
                                             int32_t value);
OAMSDK_API int32_t oam_session_control(oam_session* session, const char* station, const char* name,
                                       int32_t value);
OAMSDK_API int32_t oam_session_upload(oam_session* session, const char* station, const char* file_name);
OAMSDK_API int32_t oam_session_download(oam_session* session, const char* station, const char* file_name);

/* ---- alarm receiver (CAlarmSocket) -------------------------------------- */

/* A new receiver with no peers and an empty OAM identifier; NULL when
 * memory runs out. */
OAMSDK_API oam_alarm* oam_alarm_new(void);
/* Closes its socket if still open and frees it. Only after
 * oam_alarm_receive has returned. */
OAMSDK_API void oam_alarm_delete(oam_alarm* receiver);
/* Adds a peer (host name or dotted text) registrations go to, on UDP port
 * 20000: the peer's index. */
OAMSDK_API int32_t oam_alarm_add_peer(oam_alarm* receiver, const char* address);
/* Forgets every peer. Gives 0. */
OAMSDK_API int32_t oam_alarm_clear_peers(oam_alarm* receiver);
/* The identifier sent in registrations ("OamId=<id>;"). Gives 0. */
OAMSDK_API int32_t oam_alarm_set_id(oam_alarm* receiver, const char* oam_id);
/* Delivery of each alarm: fn (or NULL) is called, then message 0x602
 * (lParam the ALARM_STRUCT*) is sent to window (an HWND, or NULL) and
 * waited for. Gives 0. Not while oam_alarm_receive runs. */
OAMSDK_API int32_t oam_alarm_set_callback(oam_alarm* receiver, void* window, oam_alarm_fn fn, void* user);
/* Binds all local interfaces on port (0: any free one): 1, or 0 when it
 * failed or a socket is already open. */
OAMSDK_API int32_t oam_alarm_bind(oam_alarm* receiver, uint32_t port);
/* Registers with every peer, keeps the registration alive and delivers
 * every alarm until oam_alarm_close (from another thread, or from the
 * callback). Blocks. 0 when it has returned. */
OAMSDK_API int32_t oam_alarm_receive(oam_alarm* receiver);
/* Closes the socket and so ends oam_alarm_receive: 0, or -1. */
OAMSDK_API int32_t oam_alarm_close(oam_alarm* receiver);
/* The socket handle: non-zero while open (-1 after a failed bind). */
OAMSDK_API int32_t oam_alarm_is_open(oam_alarm* receiver);
/* The socket's connected peer: 1 with address and *port, 0 when none. */
OAMSDK_API int32_t oam_alarm_peer_name(oam_alarm* receiver, char* address, size_t size, uint32_t* port);

/* ---- datagram socket (CUDPSocket) --------------------------------------- */

/* A new socket object holding no socket yet; NULL when memory runs out. */
OAMSDK_API oam_udp* oam_udp_new(void);
/* A second handle sharing the socket and its event (a copy of the C++
 * object); NULL when memory runs out. */
OAMSDK_API oam_udp* oam_udp_copy(const oam_udp* socket);
/* Drops this handle; the last handle of a socket closes it. */
OAMSDK_API void oam_udp_delete(oam_udp* socket);
/* A non-blocking datagram socket bound to addr (NULL or "": all
 * interfaces) and port (0: any free one): 1, or 0 on failure or when the
 * shared socket is already open. */
OAMSDK_API int32_t oam_udp_bind(oam_udp* socket, uint32_t port, const char* addr);
/* Closes the shared socket for every handle: 0, or -1. */
OAMSDK_API int32_t oam_udp_close(oam_udp* socket);
/* Sends one datagram: bytes sent, -1 on failure, 0 for a NULL host. */
OAMSDK_API int32_t oam_udp_send_to(const oam_udp* socket, const void* data, int32_t length, const char* host,
                                   uint16_t port);
/* Sends to the stored remote address. */
OAMSDK_API int32_t oam_udp_send(const oam_udp* socket, const void* data, int32_t length);
/* Takes one waiting datagram: its length, or -1 (oam_last_error 10035,
 * WSAEWOULDBLOCK: nothing waiting). from (may be NULL) receives the
 * sender's dotted address, *from_port (may be NULL) its port. */
OAMSDK_API int32_t oam_udp_recv_from(const oam_udp* socket, void* buffer, int32_t length, char* from,
                                     size_t from_size, uint32_t* from_port);
/* Waits up to timeout_ms for a datagram (or a hang-up) on the socket's
 * event: 1 when one waits, 0 when the time ran out, -1 when the socket or
 * its event is gone. */
OAMSDK_API int32_t oam_udp_wait(const oam_udp* socket, uint32_t timeout_ms);
/* The remote address for oam_udp_send: at most 99 characters of host are
 * kept. Gives 0. */
OAMSDK_API int32_t oam_udp_set_remote(oam_udp* socket, const char* host, uint32_t port);
/* The stored remote address: text-result convention, *port (may be NULL). */
OAMSDK_API int32_t oam_udp_remote(const oam_udp* socket, char* host, size_t size, uint32_t* port);
/* The socket's connected peer: 1 with address and *port, 0 when none. */
OAMSDK_API int32_t oam_udp_peer_name(const oam_udp* socket, char* address, size_t size, uint32_t* port);
/* The shared socket: a live handle (non-zero), 0, or -1 after a failed
 * bind. */
OAMSDK_API int32_t oam_udp_is_open(const oam_udp* socket);
/* The host's own "used" mark of this handle. set gives 0. */
OAMSDK_API int32_t oam_udp_set_used(oam_udp* socket, int32_t used);
OAMSDK_API int32_t oam_udp_is_used(const oam_udp* socket);

/* ---- codec (COamCommand) ------------------------------------------------ */

/* The first NAME=VALUE; pair of text. pop != 0: 0 and the pair removed;
 * pop == 0: text kept, the pair's length with its ";". -1 when there is no
 * whole pair (name is still stored when an "=" was found). */
OAMSDK_API int32_t oam_codec_pop_name_value(char* text, char* name, size_t name_size, char* value,
                                            size_t value_size, int32_t pop);
/* Pops the first pair whatever its name; its value counts only when the
 * name matches (without case): else 65535 / 0.0. */
OAMSDK_API int32_t oam_codec_pop_int(char* text, const char* name);
OAMSDK_API double oam_codec_pop_float(char* text, const char* name);
/* Pops the first pair only when it is SESSIONID / RETURNCODE: its value,
 * else -1 and text kept. */
OAMSDK_API int32_t oam_codec_pop_session_id(char* text);
OAMSDK_API int32_t oam_codec_pop_return_code(char* text);
/* Pops the first pair only when it is CMD / STATIONID: its value by the
 * text-result convention; an empty value (0) when it is not, text kept. */
OAMSDK_API int32_t oam_codec_pop_command_id(char* text, char* value, size_t size);
OAMSDK_API int32_t oam_codec_pop_station_id(char* text, char* value, size_t size);
/* Finds name anywhere in text and gives the lower-cased value after it:
 * 1 found, 0 not. text is not changed. */
OAMSDK_API int32_t oam_codec_get_name_value(const char* text, const char* name, char* value, size_t size);
/* Splits text at its first ":" into trimmed halves: 1, or 0 when there is
 * none. */
OAMSDK_API int32_t oam_codec_split(const char* text, char* left, size_t left_size, char* right,
                                   size_t right_size);
/* Pops value[name] off the front: 1 read; 0 not (with a value but no name
 * the value is stored and text shortened past the "["). */
OAMSDK_API int32_t oam_codec_pop_value_name(char* text, char* value, size_t value_size, char* name,
                                            size_t name_size);
/* Pops one station-list entry id[base64 name]number: 1 read, 0 not (with
 * the "]" missing the untrimmed id is stored). The name stays base64. */
OAMSDK_API int32_t oam_codec_station_entry(char* text, char* id, size_t id_size, char* name, size_t name_size,
                                           int32_t* number);
/* Pops one device-list entry id[name]<ptz list> into device (names
 * decoded): 1 read, 0 not (the id and name may be written all the same);
 * 0 for NULL. */
OAMSDK_API int32_t oam_codec_device_entry(char* text, WACDEVICE_STRUCT* device);
/* Pops one PTZ-list entry id[name] into ptz: 1 read, 0 not. */
OAMSDK_API int32_t oam_codec_ptz_entry(char* text, PTZDEVICE_STRUCT* ptz);

/* ---- Corbex: log, errors, module directory, base64, MD5 ----------------- */

/* Hooks a sink (OAM_SINK_R or OAM_SINK_D); NULL removes the hook. Once it
 * returns, the previous hook is no longer running nor called. Messages a
 * hook logs itself are dropped. 0, or -1 for an unknown sink. */
OAMSDK_API int32_t oam_log_set_hook(int32_t sink, oam_log_fn fn, void* user);
/* Writes a message to a sink (hook and OAMSDK_LOG_DIR file). 0, or -1 for
 * an unknown sink. */
OAMSDK_API int32_t oam_log(int32_t sink, const char* message);
/* The calling thread's last error code (Windows Sockets / kernel codes). */
OAMSDK_API uint32_t oam_last_error(void);
/* Its text ("Unknown error <code>" for codes without one). */
OAMSDK_API int32_t oam_last_error_text(char* buf, size_t size);
/* The directory uploads are read from and downloads written to, without a
 * trailing separator (OAMSDK_MODULE_DIR overrides it). */
OAMSDK_API int32_t oam_module_dir(char* buf, size_t size);
/* Decodes base64 text into out: bytes written, at most capacity (0 for
 * NULL text or buffer). Stops at "=", NUL or a byte outside the alphabet
 * other than white space. No NUL is added. */
OAMSDK_API int32_t oam_base64_decode(const char* text, unsigned char* out, int32_t capacity);
/* Room for the base64 text of n bytes with its NUL; floor(n / 4) * 3. */
OAMSDK_API int32_t oam_base64_text_size(uint32_t n);
OAMSDK_API int32_t oam_base64_binary_size(uint32_t n);
/* MD5 of length bytes as 32 lowercase hex digits into digest (at least
 * OAM_MD5_SIZE bytes): 0; -1 (digest "") for NULL data with a non-zero
 * length or a NULL digest. */
OAMSDK_API int32_t oam_md5(const void* data, uint32_t length, char* digest);

#ifdef __cplusplus
}
#endif

#endif /* OAMSDK_C_H */
