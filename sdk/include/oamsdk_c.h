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

#define OAMSDK_C_VERSION_MAJOR 1
#define OAMSDK_C_VERSION_MINOR 0
#define OAMSDK_C_VERSION_PATCH 0
/* major << 16 | minor << 8 | patch: 0x010000 is 1.0.0. */
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

#ifdef __cplusplus
extern "C" {
#endif

typedef struct oam_channel oam_channel;
typedef struct oam_alarm oam_alarm;
typedef struct oam_udp oam_udp;

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
 * failure. */
OAMSDK_API int32_t oam_channel_upload(oam_channel* channel, const char* station, const char* file_name);
/* Downloads file_name into the module directory: 0 written; 1; the
 * server's 7 (no such file); or an OAM_DOWNLOAD_* code. Never leaves a
 * partial file of that name. */
OAMSDK_API int32_t oam_channel_download(oam_channel* channel, const char* station, const char* file_name);

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
