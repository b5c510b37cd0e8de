/* Drives the whole C interface against a running oam-sim. Portable C99:
 * only oamsdk_c.h and the C standard library, so that the same program
 * builds for other compilers and platforms.
 *
 * The simulator is found through OAM_SIM_HOST and OAM_SIM_PORT (tests/sim's
 * sim_run sets them), its storage through OAM_SIM_STORAGE and its alarm
 * peer through OAM_SIM_ALARM_PEER (alarms are checked only when set; the
 * simulator must send them periodically). Prints one line per failed check
 * and exits 1 when there was any. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "oamsdk_c.h"

static int failures = 0;

#define CHECK(cond) check((cond) != 0, #cond, __LINE__)
#define CHECK_INT(got, want) check_int((long)(got), (long)(want), #got, __LINE__)
#define CHECK_STR(got, want) check_str((got), (want), #got, __LINE__)

static void check(int ok, const char* what, int line) {
    if (!ok) {
        printf("capi_test.c:%d: check failed: %s\n", line, what);
        ++failures;
    }
}

static void check_int(long got, long want, const char* what, int line) {
    if (got != want) {
        printf("capi_test.c:%d: %s is %ld, expected %ld\n", line, what, got, want);
        ++failures;
    }
}

static void check_str(const char* got, const char* want, const char* what, int line) {
    if (strcmp(got, want) != 0) {
        printf("capi_test.c:%d: %s is \"%s\", expected \"%s\"\n", line, what, got, want);
        ++failures;
    }
}

static const char* env_or(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

/* ---- library, Corbex ------------------------------------------------------ */

struct log_capture {
    int calls;
    int sink;
    char last[256];
};

static void on_log(int32_t sink, const char* message, void* user) {
    struct log_capture* c = (struct log_capture*)user;
    c->calls++;
    c->sink = sink;
    strncpy(c->last, message, sizeof c->last - 1);
    c->last[sizeof c->last - 1] = '\0';
}

static void test_library(void) {
    const unsigned char* b;
    uint32_t addr;
    char text[64];
    unsigned char bin[16];
    char digest[OAM_MD5_SIZE];
    struct log_capture cap;

    CHECK_INT(oam_version(), OAMSDK_C_VERSION);
    CHECK_INT(oam_startup_succeeded(), 1);
    CHECK(oam_library_version(text, sizeof text) >= 5 && strchr(text, '.') != NULL);
    CHECK(oam_library_soname(text, sizeof text) > 0 && strstr(text, "oamsdk") != NULL);

    addr = oam_name_to_inet("127.0.0.1");
    b = (const unsigned char*)&addr; /* network byte order, whatever the host's */
    CHECK(b[0] == 127 && b[1] == 0 && b[2] == 0 && b[3] == 1);
    CHECK_INT(oam_name_to_inet(""), 0);
    CHECK_INT(oam_name_to_inet("1.2.3.4.5"), (long)0xFFFFFFFFul);

    CHECK_INT(oam_base64_decode("aGVsbG8=", bin, (int32_t)sizeof bin), 5);
    CHECK(memcmp(bin, "hello", 5) == 0);
    CHECK_INT(oam_base64_decode("aGVsbG8=", bin, 3), 3); /* never past the capacity */
    CHECK_INT(oam_base64_decode(NULL, bin, 3), 0);
    CHECK_INT(oam_base64_text_size(5), 9);
    CHECK_INT(oam_base64_binary_size(8), 6);

    CHECK_INT(oam_md5("abc", 3, digest), 0);
    CHECK_STR(digest, "900150983cd24fb0d6963f7d28e17f72");
    CHECK_INT(oam_md5(NULL, 3, digest), -1);
    CHECK_STR(digest, "");
    CHECK_INT(oam_md5("abc", 3, NULL), -1);

    memset(&cap, 0, sizeof cap);
    CHECK_INT(oam_log_set_hook(OAM_SINK_D, on_log, &cap), 0);
    CHECK_INT(oam_log(OAM_SINK_D, "hello from C"), 0);
    CHECK_INT(cap.calls, 1);
    CHECK_INT(cap.sink, OAM_SINK_D);
    CHECK_STR(cap.last, "hello from C");
    CHECK_INT(oam_log(OAM_SINK_R, "not hooked"), 0);
    CHECK_INT(cap.calls, 1);
    CHECK_INT(oam_log_set_hook(OAM_SINK_D, NULL, NULL), 0);
    CHECK_INT(oam_log(OAM_SINK_D, "after removal"), 0);
    CHECK_INT(cap.calls, 1);
    CHECK_INT(oam_log_set_hook(7, on_log, &cap), -1);
    CHECK_INT(oam_log(7, "no such sink"), -1);

    CHECK(oam_module_dir(text, sizeof text) > 0);
    CHECK(oam_module_dir(text, 4) >= 4 && strlen(text) == 3); /* cut, terminated, full length */

    /* The code page: those the library scans are taken, the others (UTF-16
     * and -32, UTF-7, GB18030, ISO-2022, EUC, HZ, EBCDIC) refused with
     * nothing changed; 0 goes back to the system's. */
    {
        static const uint32_t taken[] = {932, 936, 949, 950, 65001, 1252, 1251, 20127, 28591, 437, 874, 20866};
        static const uint32_t refused[] = {1200,  1201,  12000, 12001, 65000, 54936, 50220, 50221,
                                           50222, 50225, 50227, 20932, 51932, 51936, 51949, 52936,
                                           37,    500,   1026,  1361,  20936, 10001, 7,     99999};
        const uint32_t before = oam_code_page();
        size_t i;
        CHECK(before != 0);
        for (i = 0; i < sizeof taken / sizeof taken[0]; ++i) {
            CHECK_INT(oam_set_code_page(taken[i]), 0);
            CHECK_INT(oam_code_page(), taken[i]);
        }
        for (i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
            CHECK_INT(oam_set_code_page(refused[i]), -1);
            CHECK_INT(oam_code_page(), 20866);
        }
        CHECK_INT(oam_set_code_page(0), 0);
        CHECK(oam_code_page() != 0 && oam_code_page() != 20866);
        CHECK_INT(oam_set_code_page(before), 0);
    }
}

/* ---- codec ------------------------------------------------------------------ */

static void test_codec(void) {
    char text[128], name[64], value[64], small[4];
    int32_t number = 0;
    WACDEVICE_STRUCT device;
    PTZDEVICE_STRUCT ptz;

    strcpy(text, "SESSIONID=3;RETURNCODE=9;Contrast=40;Dir=1.5;");
    CHECK_INT(oam_codec_pop_return_code(text), -1); /* not first: text kept */
    CHECK_STR(text, "SESSIONID=3;RETURNCODE=9;Contrast=40;Dir=1.5;");
    CHECK_INT(oam_codec_pop_session_id(text), 3);
    CHECK_INT(oam_codec_pop_return_code(text), 9);
    CHECK_INT(oam_codec_pop_name_value(text, name, sizeof name, value, sizeof value, 0), 12);
    CHECK_STR(text, "Contrast=40;Dir=1.5;");
    CHECK_INT(oam_codec_pop_name_value(text, name, sizeof name, small, sizeof small, 1), 0);
    CHECK_STR(name, "Contrast");
    CHECK_STR(small, "40");
    CHECK(oam_codec_pop_float(text, "dir") == 1.5);
    CHECK_STR(text, "");
    CHECK_INT(oam_codec_pop_name_value(text, name, sizeof name, value, sizeof value, 1), -1);
    CHECK_STR(value, "");

    strcpy(text, "Gain=7;Gain=8;");
    CHECK_INT(oam_codec_pop_int(text, "other"), 65535); /* popped all the same */
    CHECK_INT(oam_codec_pop_int(text, "GAIN"), 8);

    strcpy(text, "CMD=Get;STATIONID=S1;");
    CHECK_INT(oam_codec_pop_station_id(text, value, sizeof value), 0);
    CHECK_INT(oam_codec_pop_command_id(text, value, sizeof value), 3);
    CHECK_STR(value, "Get");
    CHECK_INT(oam_codec_pop_station_id(text, value, sizeof value), 2);
    CHECK_STR(value, "S1");

    CHECK_INT(oam_codec_get_name_value("A=1;Mode=AUTO;", "Mode", value, sizeof value), 1);
    CHECK_STR(value, "auto");
    CHECK_INT(oam_codec_get_name_value("A=1;", "Mode", value, sizeof value), 0);

    CHECK_INT(oam_codec_split(" left : right ", name, sizeof name, value, sizeof value), 1);
    CHECK_STR(name, "left");
    CHECK_STR(value, "right");
    CHECK_INT(oam_codec_split("no colon", name, sizeof name, value, sizeof value), 0);

    strcpy(text, "v1[n1]rest");
    CHECK_INT(oam_codec_pop_value_name(text, value, sizeof value, name, sizeof name), 1);
    CHECK_STR(value, "v1");
    CHECK_STR(name, "n1");

    strcpy(text, "S1[Tm9ydGggR2F0ZQ==]1,S2[WWFyZA==]0");
    CHECK_INT(oam_codec_station_entry(text, value, sizeof value, name, sizeof name, &number), 1);
    CHECK_STR(value, "S1");
    CHECK_STR(name, "Tm9ydGggR2F0ZQ==");
    CHECK_INT(number, 1);
    CHECK_INT(oam_codec_station_entry(text, value, sizeof value, name, sizeof name, &number), 1);
    CHECK_STR(value, "S2");
    CHECK_INT(number, 0);

    strcpy(text, "3[R2F0ZSBDYW1lcmE=]<1[UGFu],2[RG9tZSAx]>:4[QmFycmllcg==]<>");
    memset(&device, 0, sizeof device);
    CHECK_INT(oam_codec_device_entry(text, &device), 1);
    CHECK_INT(device.DeviceID, 3);
    CHECK_STR(device.DeviceName, "Gate Camera");
    CHECK_INT(device.PtzCount, 2);
    CHECK_STR(device.PtzDevice[1].PtzName, "Dome 1");
    CHECK_INT(oam_codec_device_entry(text, &device), 1);
    CHECK_INT(device.DeviceID, 4);
    CHECK_INT(device.PtzCount, 0);
    CHECK_INT(oam_codec_device_entry(text, NULL), 0);

    strcpy(text, "7[VGlsdA==]");
    CHECK_INT(oam_codec_ptz_entry(text, &ptz), 1);
    CHECK_INT(ptz.PtzID, 7);
    CHECK_STR(ptz.PtzName, "Tilt");
    CHECK_INT(oam_codec_ptz_entry(text, NULL), 0);
}

/* ---- command channel ---------------------------------------------------------- */

struct link_state {
    int calls;
    oam_channel* seen;
};

static void on_link_break(oam_channel* channel, void* user) {
    struct link_state* s = (struct link_state*)user;
    s->calls++;
    s->seen = channel;
}

/* Records what a transfer reports and cancels in one phase (-1: never). */
struct progress_state {
    int calls, bad;
    int32_t phases, cancel_phase;
    int64_t done, total;
};

static int32_t on_progress(int64_t done, int64_t total, int32_t phase, void* user) {
    struct progress_state* p = (struct progress_state*)user;
    p->calls++;
    if (done < 0 || done > total || phase < OAM_PROGRESS_PACKING || phase > OAM_PROGRESS_UNPACKING) p->bad++;
    p->phases |= 1 << phase;
    p->done = done;
    p->total = total;
    return phase == p->cancel_phase;
}

static void progress_reset(struct progress_state* p, int32_t cancel_phase) {
    memset(p, 0, sizeof *p);
    p->cancel_phase = cancel_phase;
}

static int write_file(const char* path, const char* content) {
    FILE* f = fopen(path, "wb");
    if (!f) return 0;
    fputs(content, f);
    return fclose(f) == 0;
}

static int file_equals(const char* path, const char* content) {
    char buf[256];
    size_t n;
    FILE* f = fopen(path, "rb");
    if (!f) return 0;
    n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    return n == strlen(content) && memcmp(buf, content, n) == 0;
}

static void test_channel(const char* host, unsigned port) {
    static const char content[] = "[camera]\ncontrast=70\n";
    char reply[OAM_REPLY_MAX + 1], small[6], text[512];
    size_t length = 0;
    int32_t n, i;
    STATION_STRUCT* stations;
    struct link_state link = {0, NULL};
    const char* login = "User=admin;Password=admin;";
    oam_channel* ch = oam_channel_new();
    CHECK(ch != NULL);
    if (!ch) return;

    /* Refusals of absent handles. */
    CHECK_INT(oam_channel_command(NULL, "", "Login", login, reply, sizeof reply, &length), -1);
    CHECK_INT(oam_channel_connect(NULL, host, port), 0);

    CHECK_INT(oam_channel_connect(ch, "127.0.0.1", 1), 0);
    CHECK(oam_last_error() != 0);
    CHECK(oam_last_error_text(text, sizeof text) > 0);

    CHECK_INT(oam_channel_connect(ch, host, port), 1);
    CHECK_INT(oam_channel_connect(ch, host, port), 0); /* one connection at a time */
    CHECK(oam_channel_local_ip(ch, text, sizeof text) > 0);
    CHECK_STR(text, "127.0.0.1");
    CHECK_INT(oam_channel_set_server_address(ch, "127.0.0.9"), 0);
    CHECK_INT(oam_channel_server_ip(ch, text, sizeof text), 9);
    CHECK_STR(text, "127.0.0.9");
    CHECK_INT(oam_channel_set_server(ch, host, port), 0);
    CHECK(oam_channel_server_ip(ch, text, sizeof text) > 0);
    CHECK_STR(text, host);

    /* Refusals carry the server's reason. */
    CHECK_INT(oam_channel_command(ch, "", "Get", "AllStation=;", reply, sizeof reply, &length), 4);
    CHECK(strstr(reply, "Reason=") != NULL);
    CHECK_INT(length, strlen(reply));
    CHECK_INT(oam_channel_command(ch, "", "Login", "User=admin;Password=wrong;", reply, sizeof reply, NULL), 8);
    CHECK_INT(oam_channel_command(ch, "", "Login", login, small, sizeof small, &length), 0);
    CHECK(length > 5 && strlen(small) == 5); /* cut to the buffer, full length told */
    CHECK_INT(oam_channel_command(ch, "", "Login", login, NULL, 0, NULL), 0);
    CHECK_INT(oam_channel_command_unlocked(ch, "S1", "Get", "Contrast=;", reply, sizeof reply, NULL), 0);
    CHECK_STR(reply, "Contrast=50;");

    /* Stations and devices. */
    n = oam_channel_stations(ch, NULL, 0);
    CHECK_INT(n, 3);
    stations = (STATION_STRUCT*)calloc((size_t)(n > 0 ? n : 1), sizeof *stations);
    if (stations && n > 0) {
        CHECK_INT(oam_channel_stations(ch, stations, n), n);
        CHECK_STR(stations[0].StationID, "S1");
        CHECK_STR(stations[0].StationName, "North Gate");
        CHECK_INT(stations[2].StationValue, 0);
        CHECK_INT(oam_channel_stations(ch, stations, 1), 1);
        CHECK_INT(oam_channel_devices(ch, &stations[0]), 3);
        CHECK_INT(stations[0].DeviceCount, 3);
        CHECK_STR(stations[0].Device[0].DeviceName, "Gate Camera");
        CHECK_INT(stations[0].Device[0].PtzCount, 2);
        CHECK_STR(stations[0].Device[2].PtzDevice[0].PtzName, "Tilt Head");
        for (i = 1; i < n; ++i) CHECK(oam_channel_devices(ch, &stations[i]) >= 1);
        strcpy(stations[1].StationID, "NOPE");
        CHECK_INT(oam_channel_devices(ch, &stations[1]), 5);
    }
    free(stations);
    CHECK_INT(oam_channel_devices(ch, NULL), -1);

    /* Parameters. */
    CHECK_INT(oam_channel_get_parameter(ch, "S1", "Contrast"), 50);
    CHECK_INT(oam_channel_set_parameter(ch, "S1", "Contrast", 70), 0);
    CHECK_INT(oam_channel_get_parameter(ch, "S1", "Contrast"), 70);
    CHECK_INT(oam_channel_set_parameter(ch, "S1", "Contrast", 500), 9);
    CHECK_INT(oam_channel_get_parameter(ch, "S1", "NoSuch"), -1);
    CHECK_INT(oam_channel_set_parameter(ch, "S1", "NoSuch", 1), 6);
    CHECK_INT(oam_channel_control(ch, "S1", "Zoom", 4), 0);
    CHECK_INT(oam_channel_control(ch, "S9", "Zoom", 4), 5);

    /* Files, in the module directory. */
    n = oam_module_dir(text, sizeof text);
    CHECK(n > 0 && (size_t)n + 20 < sizeof text);
    strcat(text, "/capi.ini");
    CHECK(write_file(text, content));
    CHECK_INT(oam_channel_upload(ch, "S1", "capi.ini"), 0);
    {
        const char* storage = getenv("OAM_SIM_STORAGE");
        char stored[512];
        if (storage && strlen(storage) + 20 < sizeof stored) {
            sprintf(stored, "%s/S1/capi.ini", storage);
            CHECK(file_equals(stored, content));
        }
    }
    CHECK(remove(text) == 0);
    CHECK_INT(oam_channel_download(ch, "S1", "capi.ini"), 0);
    CHECK(file_equals(text, content));
    CHECK_INT(oam_channel_download(ch, "S1", "absent.ini"), 7);
    CHECK_INT(oam_channel_upload(ch, "S1", "absent.ini"), 1);
    /* The upload's level: refused outside 1..12; level 1 reads back. */
    CHECK_INT(oam_channel_set_upload_level(ch, 0), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_upload_level(ch, 13), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_upload_level(ch, 1), OAM_SETTING_OK);
    CHECK_INT(oam_channel_set_upload_level(NULL, 1), -1);
    CHECK_INT(oam_channel_upload(ch, "S1", "capi.ini"), 0);
    CHECK(remove(text) == 0);
    CHECK_INT(oam_channel_download(ch, "S1", "capi.ini"), 0);
    CHECK(file_equals(text, content));
    CHECK_INT(oam_channel_set_upload_level(ch, 6), OAM_SETTING_OK);

    /* Progress of both phases of each direction, and a cancel in each
     * direction's local phase: the channel stays usable and a cancelled
     * download leaves no file. */
    {
        struct progress_state p;
        const long length = (long)strlen(content);
        CHECK_INT(oam_channel_set_progress(ch, on_progress, &p), 0);
        progress_reset(&p, -1);
        CHECK_INT(oam_channel_upload(ch, "S1", "capi.ini"), 0);
        CHECK_INT(p.phases, (1 << OAM_PROGRESS_PACKING) | (1 << OAM_PROGRESS_SENDING));
        CHECK(p.calls >= 2 && p.bad == 0 && p.done == p.total && p.total > 0);
        progress_reset(&p, -1);
        CHECK_INT(oam_channel_download(ch, "S1", "capi.ini"), 0);
        CHECK_INT(p.phases, (1 << OAM_PROGRESS_RECEIVING) | (1 << OAM_PROGRESS_UNPACKING));
        CHECK(p.bad == 0);
        CHECK_INT(p.done, length);
        CHECK_INT(p.total, length);
        progress_reset(&p, OAM_PROGRESS_PACKING);
        CHECK_INT(oam_channel_upload(ch, "S1", "capi.ini"), OAM_PROGRESS_CANCELLED);
        CHECK_INT(p.phases, 1 << OAM_PROGRESS_PACKING);
        progress_reset(&p, OAM_PROGRESS_UNPACKING);
        CHECK(remove(text) == 0);
        CHECK_INT(oam_channel_download(ch, "S1", "capi.ini"), OAM_PROGRESS_CANCELLED);
        {
            FILE* left = fopen(text, "rb");
            CHECK(left == NULL);
            if (left) fclose(left);
        }
        CHECK_INT(oam_channel_set_progress(ch, NULL, NULL), 0);
        progress_reset(&p, OAM_PROGRESS_RECEIVING);
        CHECK_INT(oam_channel_download(ch, "S1", "capi.ini"), 0);
        CHECK_INT(p.calls, 0);
        CHECK(file_equals(text, content));
    }

    /* Session checking and the settings. */
    CHECK_INT(oam_channel_strict_session(ch), 0);
    CHECK_INT(oam_channel_set_strict_session(ch, 1), 0);
    CHECK_INT(oam_channel_strict_session(ch), 1);
    CHECK_INT(oam_channel_command(ch, "S1", "Get", "Contrast=;", reply, sizeof reply, NULL), 0);
    CHECK_INT(oam_channel_reply_session_matched(ch), 1);
    CHECK_INT(oam_channel_reply_session_mismatched(ch), 0);
    CHECK_INT(oam_channel_set_strict_session(ch, 0), 0);
    CHECK_INT(oam_channel_strict_session(ch), 0);
    CHECK_INT(oam_channel_set_command_timeout(ch, 0), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_command_timeout(ch, 86400001), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_command_timeout(ch, 5000), OAM_SETTING_OK);
    CHECK_INT(oam_channel_set_connect_timeout(ch, -1), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_connect_timeout(ch, 3000), OAM_SETTING_OK);
    CHECK_INT(oam_channel_set_keep_alive(ch, 30, 5, 128), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_channel_set_keep_alive(ch, 0, 5, 3), OAM_SETTING_BAD_VALUE);
    {
        /* A system that takes the timing but not the count (Wine) says so. */
        int32_t r = oam_channel_set_keep_alive(ch, 30, 5, 3);
        CHECK(r == OAM_SETTING_OK || (r == OAM_SETTING_FAILED && oam_last_error() == 10042));
    }
    CHECK_INT(oam_channel_command(ch, "S1", "Get", "Contrast=;", reply, sizeof reply, NULL), 0);
    CHECK_INT(oam_channel_disable_keep_alive(ch), OAM_SETTING_OK);
    CHECK_INT(oam_channel_set_command_timeout(NULL, 5000), -1);
    CHECK_INT(oam_channel_strict_session(NULL), 0);

    /* Raw bytes and a reply read separately. */
    {
        const char* raw = "SESSIONID=500;CMD=Login;User=admin;Password=wrong;";
        CHECK_INT(oam_channel_send(ch, raw, (int32_t)strlen(raw)), (long)strlen(raw));
        CHECK_INT(oam_channel_receive_reply(ch, reply, sizeof reply, &length), 0);
        CHECK(strstr(reply, "Reason=") != NULL);
        raw = "SESSIONID=501;CMD=Login;User=admin;Password=admin;";
        CHECK_INT(oam_channel_send_unlocked(ch, raw, (int32_t)strlen(raw)), (long)strlen(raw));
        CHECK_INT(oam_channel_receive_reply(ch, reply, sizeof reply, &length), 0);
        CHECK_INT(length, 0); /* accepted: no rest given */
        CHECK_INT(oam_channel_discard_input(ch), 0);
        CHECK_INT(oam_channel_command(ch, "S1", "Get", "Contrast=;", reply, sizeof reply, NULL), 0);
        CHECK_STR(reply, "Contrast=70;");
    }

    /* Link-break notification: once per connection. */
    CHECK_INT(oam_channel_set_link_break(ch, NULL, on_link_break, &link), 0);
    CHECK_INT(oam_channel_notify_close(ch, 0), 0);
    CHECK_INT(oam_channel_notify_close(ch, 0), 0);
    CHECK_INT(link.calls, 1);
    CHECK(link.seen == ch);
    CHECK_INT(oam_channel_close(ch), 0);
    CHECK_INT(oam_channel_close(ch), -1);
    CHECK_INT(oam_channel_command(ch, "", "Login", login, reply, sizeof reply, NULL), -1);
    CHECK_INT(oam_channel_reply_session_matched(ch), 0); /* no reply */
    CHECK_INT(oam_channel_connect(ch, host, port), 1);
    CHECK_INT(oam_channel_notify_close(ch, 0), 0);
    CHECK_INT(link.calls, 2);
    oam_channel_delete(ch);
    oam_channel_delete(NULL);
}

/* ---- reconnecting session ------------------------------------------------------ */

struct session_log {
    int n;
    int32_t state[16], cause[16];
    oam_session* seen;
};

static void on_session(oam_session* session, const oam_session_event* event, void* user) {
    struct session_log* log = (struct session_log*)user;
    if (log->n < 16) {
        log->state[log->n] = event->state;
        log->cause[log->n] = event->cause;
        log->n++;
    }
    log->seen = event->text ? session : NULL;
}

static void test_session(const char* host, unsigned port) {
    char reply[256];
    size_t length = 0;
    int32_t value = -7;
    STATION_STRUCT* station;
    struct session_log log;
    struct progress_state p;
    oam_session* s = oam_session_new();
    CHECK(s != NULL);
    if (!s) return;
    memset(&log, 0, sizeof log);

    CHECK_INT(oam_session_state(s), OAM_STATE_CLOSED);
    CHECK_INT(oam_session_is_connected(s), 0);
    CHECK_INT(oam_session_command(s, "S1", "Get", "Contrast=;", reply, sizeof reply, NULL), OAM_LINK_DOWN);
    CHECK_INT(oam_session_set_backoff(s, 0, 100, 0, 0), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_session_set_backoff(s, 50, 20, 0, 0), OAM_SETTING_BAD_VALUE);
    /* A back-off long enough that no reconnect happens within the test. */
    CHECK_INT(oam_session_set_backoff(s, 60000, 60000, 0, 3), OAM_SETTING_OK);
    CHECK_INT(oam_session_set_command_timeout(s, 0), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_session_set_command_timeout(s, 5000), OAM_SETTING_OK);
    CHECK_INT(oam_session_set_connect_timeout(s, 3000), OAM_SETTING_OK);
    CHECK_INT(oam_session_set_keep_alive(s, 30, 5, 0), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_session_set_keep_alive(s, 30, 5, 3), OAM_SETTING_OK);
    CHECK_INT(oam_session_disable_keep_alive(s), OAM_SETTING_OK);
    CHECK_INT(oam_session_set_upload_level(s, 13), OAM_SETTING_BAD_VALUE);
    CHECK_INT(oam_session_set_upload_level(s, 1), OAM_SETTING_OK);
    CHECK_INT(oam_session_set_upload_level(NULL, 1), -1);
    CHECK_INT(oam_session_set_strict_session(s, 1), 0);
    CHECK_INT(oam_session_set_callback(s, on_session, &log), 0);

    /* Failed opens: no connection, a refused log-in; no events. */
    CHECK_INT(oam_session_set_server(s, "127.0.0.1", 1), 0);
    CHECK_INT(oam_session_open(s), -1);
    CHECK_INT(oam_last_error(), 10061); /* WSAECONNREFUSED */
    CHECK_INT(oam_session_set_server(s, host, port), 0);
    CHECK_INT(oam_session_set_login(s, "User=admin;Password=wrong;"), 0);
    CHECK_INT(oam_session_open(s), 8);
    CHECK_INT(oam_session_state(s), OAM_STATE_CLOSED);
    CHECK_INT(log.n, 0);

    CHECK_INT(oam_session_set_login(s, "User=admin;Password=admin;"), 0);
    CHECK_INT(oam_session_open(s), 0);
    CHECK_INT(oam_session_open(s), OAM_BUSY);
    CHECK_INT(oam_session_state(s), OAM_STATE_CONNECTED);
    CHECK_INT(oam_session_is_connected(s), 1);
    CHECK_INT(log.n, 1);
    CHECK_INT(log.state[0], OAM_STATE_CONNECTED);
    CHECK(log.seen == s);

    /* The channel's operations and results, through the session. */
    CHECK_INT(oam_session_set_parameter(s, "S1", "Brightness", 40), 0);
    CHECK_INT(oam_session_get_parameter(s, "S1", "Brightness", &value), 0);
    CHECK_INT(value, 40);
    CHECK_INT(oam_session_get_parameter(s, "S1", "NoSuch", &value), 6);
    CHECK_INT(value, 40); /* not stored on failure */
    CHECK_INT(oam_session_set_parameter(s, "S1", "Brightness", 500), 9);
    CHECK_INT(oam_session_control(s, "S1", "Zoom", 2), 0);
    CHECK_INT(oam_session_control(s, "S9", "Zoom", 2), 5);
    CHECK_INT(oam_session_command(s, "S1", "Get", "Brightness=;", reply, sizeof reply, &length), 0);
    CHECK_STR(reply, "Brightness=40;");
    CHECK_INT(length, strlen(reply));
    CHECK_INT(oam_session_command(s, "", "Get", "AllStation=;", reply, 8, &length), 0);
    CHECK(length > 7 && strlen(reply) == 7);
    CHECK_INT(oam_session_stations(s, NULL, 0), 3);
    station = (STATION_STRUCT*)calloc(1, sizeof *station);
    if (station) {
        strcpy(station->StationID, "S1");
        CHECK_INT(oam_session_devices(s, station), 3);
        CHECK_STR(station->Device[0].DeviceName, "Gate Camera");
        CHECK_INT(oam_session_stations(s, station, 1), 1);
        CHECK_STR(station->StationID, "S1");
    }
    free(station);
    CHECK_INT(oam_session_set_progress(s, on_progress, &p), 0);
    progress_reset(&p, -1);
    CHECK_INT(oam_session_upload(s, "S1", "capi.ini"), 0);
    CHECK(p.calls >= 2 && p.bad == 0 && p.done == p.total);
    CHECK_INT(oam_session_download(s, "S1", "absent.ini"), 7);
    /* A cancel while the archive comes in drops the link: the session
     * reports the loss and, within its back-off, sends nothing. */
    progress_reset(&p, OAM_PROGRESS_RECEIVING);
    CHECK_INT(oam_session_download(s, "S1", "capi.ini"), OAM_PROGRESS_CANCELLED);
    CHECK_INT(oam_session_set_progress(s, NULL, NULL), 0);
    CHECK_INT(oam_session_state(s), OAM_STATE_LOST);
    CHECK_INT(log.n, 2);
    CHECK_INT(log.state[1], OAM_STATE_LOST);
    CHECK_INT(log.cause[1], OAM_REASON_LINK_BREAK);
    CHECK_INT(oam_session_get_parameter(s, "S1", "Brightness", &value), OAM_LINK_DOWN);

    CHECK_INT(oam_session_close(s), 0);
    CHECK_INT(oam_session_state(s), OAM_STATE_CLOSED);
    CHECK_INT(log.n, 3);
    CHECK_INT(log.state[2], OAM_STATE_CLOSED);
    CHECK_INT(log.cause[2], OAM_REASON_HOST);
    CHECK_INT(oam_session_command(s, "S1", "Get", "Brightness=;", reply, sizeof reply, NULL), OAM_LINK_DOWN);

    /* With the background thread: deleting the open session stops it and
     * reports CLOSED on the deleting thread. */
    CHECK_INT(oam_session_set_auto_reconnect(s, 1), 0);
    CHECK_INT(oam_session_open(s), 0);
    CHECK_INT(oam_session_get_parameter(s, "S1", "Brightness", NULL), 0);
    log.n = 0;
    oam_session_delete(s);
    CHECK_INT(log.n, 1);
    CHECK_INT(log.state[0], OAM_STATE_CLOSED);
    oam_session_delete(NULL);
    CHECK_INT(oam_session_open(NULL), -1);
    CHECK_INT(oam_session_is_connected(NULL), 0);
}

/* ---- datagram socket ---------------------------------------------------------- */

static void test_udp(void) {
    char buf[64], from[OAM_ADDRESS_SIZE], host[128];
    uint32_t from_port = 0, port = 0, bport = 0, p;
    oam_udp* a = oam_udp_new();
    oam_udp* b = oam_udp_new();
    oam_udp* c;
    CHECK(a && b);
    if (!a || !b) return;

    CHECK_INT(oam_udp_is_open(a), 0);
    CHECK_INT(oam_udp_bind(a, 0, "127.0.0.1"), 1);
    CHECK(oam_udp_is_open(a) > 0);
    /* The receiver needs a known port: the first free one of a few. */
    for (p = 27311; p < 27341 && !bport; ++p)
        if (oam_udp_bind(b, p, "127.0.0.1") == 1) bport = p;
    CHECK(bport != 0);

    CHECK_INT(oam_udp_wait(b, 0), 0);
    CHECK_INT(oam_udp_recv_from(b, buf, (int32_t)sizeof buf, from, sizeof from, &from_port), -1);
    CHECK_INT(oam_last_error(), 10035); /* WSAEWOULDBLOCK */
    CHECK_INT(oam_udp_send_to(a, "hello", 5, "127.0.0.1", (uint16_t)bport), 5);
    CHECK_INT(oam_udp_send_to(a, "hello", 5, NULL, (uint16_t)bport), 0);
    CHECK_INT(oam_udp_wait(b, 5000), 1);
    CHECK_INT(oam_udp_recv_from(b, buf, (int32_t)sizeof buf, from, sizeof from, &from_port), 5);
    CHECK(memcmp(buf, "hello", 5) == 0);
    CHECK_STR(from, "127.0.0.1");
    CHECK(from_port != 0 && from_port != bport);

    CHECK_INT(oam_udp_set_remote(a, "127.0.0.1", bport), 0);
    CHECK_INT(oam_udp_remote(a, host, sizeof host, &port), 9);
    CHECK_STR(host, "127.0.0.1");
    CHECK_INT(port, bport);
    CHECK_INT(oam_udp_send(a, "again", 5), 5);
    CHECK_INT(oam_udp_wait(b, 5000), 1);
    CHECK_INT(oam_udp_recv_from(b, buf, (int32_t)sizeof buf, NULL, 0, NULL), 5);
    CHECK_INT(oam_udp_peer_name(b, host, sizeof host, &port), 0); /* never connected */

    CHECK_INT(oam_udp_set_used(a, 1), 0);
    CHECK_INT(oam_udp_is_used(a), 1);

    /* A copy shares the socket: closing it closes the original's too. */
    c = oam_udp_copy(b);
    CHECK(c != NULL);
    CHECK_INT(oam_udp_is_open(c), oam_udp_is_open(b));
    CHECK_INT(oam_udp_close(c), 0);
    CHECK_INT(oam_udp_is_open(b), 0);
    CHECK_INT(oam_udp_wait(b, 0), -1);
    oam_udp_delete(c);
    oam_udp_delete(b);
    oam_udp_delete(a);
    CHECK(oam_udp_copy(NULL) == NULL);
}

/* ---- text outputs not stored --------------------------------------------------- */

/* Every text output of the interface, in a call that does not store it:
 * the header promises "" there, never what the buffer held before. */
static struct {
    oam_channel* channel;
    oam_session* session;
    oam_udp* udp;
    oam_alarm* alarm;
} idle;

#define OUTPUT_ROW(name, call)                           \
    static void name(char* out, size_t size) {           \
        char in[64], other[64];                          \
        uint32_t port = 0;                               \
        size_t length = 0;                               \
        int32_t number = 0;                              \
        (void)in, (void)other, (void)port, (void)length; \
        (void)number, (void)size;                        \
        call;                                            \
    }

OUTPUT_ROW(row_command, oam_channel_command(idle.channel, "S1", "Get", "X=;", out, size, &length))
OUTPUT_ROW(row_command_unlocked, oam_channel_command_unlocked(idle.channel, "S1", "Get", "X=;", out, size, NULL))
OUTPUT_ROW(row_receive_reply, oam_channel_receive_reply(idle.channel, out, size, &length))
OUTPUT_ROW(row_session_command, oam_session_command(idle.session, "S1", "Get", "X=;", out, size, &length))
OUTPUT_ROW(row_udp_recv_from, {
    char data[16];
    oam_udp_recv_from(idle.udp, data, (int32_t)sizeof data, out, size, &port);
})
OUTPUT_ROW(row_udp_peer_name, oam_udp_peer_name(idle.udp, out, size, &port))
OUTPUT_ROW(row_alarm_peer_name, oam_alarm_peer_name(idle.alarm, out, size, &port))
OUTPUT_ROW(row_udp_remote, oam_udp_remote(idle.udp, out, size, &port))
OUTPUT_ROW(row_pop_name_value_name, {
    strcpy(in, "no pair;");
    oam_codec_pop_name_value(in, out, size, other, sizeof other, 1);
})
OUTPUT_ROW(row_pop_name_value_value, {
    strcpy(in, "Name=unfinished");
    oam_codec_pop_name_value(in, other, sizeof other, out, size, 1);
})
OUTPUT_ROW(row_pop_command_id, {
    strcpy(in, "STATIONID=S1;");
    oam_codec_pop_command_id(in, out, size);
})
OUTPUT_ROW(row_pop_station_id, {
    strcpy(in, "CMD=Get;");
    oam_codec_pop_station_id(in, out, size);
})
OUTPUT_ROW(row_get_name_value, oam_codec_get_name_value("A=1;", "Mode", out, size))
OUTPUT_ROW(row_split_left, oam_codec_split("no colon", out, size, other, sizeof other))
OUTPUT_ROW(row_split_right, oam_codec_split("no colon", other, sizeof other, out, size))
OUTPUT_ROW(row_pop_value_name_value, {
    strcpy(in, "");
    oam_codec_pop_value_name(in, out, size, other, sizeof other);
})
OUTPUT_ROW(row_pop_value_name_name, {
    strcpy(in, "v1 without a name");
    oam_codec_pop_value_name(in, other, sizeof other, out, size);
})
OUTPUT_ROW(row_station_entry_id, {
    strcpy(in, "");
    oam_codec_station_entry(in, out, size, other, sizeof other, &number);
})
OUTPUT_ROW(row_station_entry_name, {
    strcpy(in, "S1[unfinished");
    oam_codec_station_entry(in, other, sizeof other, out, size, &number);
})
OUTPUT_ROW(row_md5, oam_md5(NULL, 3, out))

static void test_outputs_not_stored(void) {
    static const struct {
        const char* what;
        void (*call)(char* out, size_t size);
    } rows[] = {
        {"oam_channel_command, no connection", row_command},
        {"oam_channel_command_unlocked, no connection", row_command_unlocked},
        {"oam_channel_receive_reply, no connection", row_receive_reply},
        {"oam_session_command, session closed", row_session_command},
        {"oam_udp_recv_from, nothing waiting", row_udp_recv_from},
        {"oam_udp_peer_name, not connected", row_udp_peer_name},
        {"oam_alarm_peer_name, not bound", row_alarm_peer_name},
        {"oam_udp_remote, none set", row_udp_remote},
        {"oam_codec_pop_name_value's name, no \"=\"", row_pop_name_value_name},
        {"oam_codec_pop_name_value's value, no \";\"", row_pop_name_value_value},
        {"oam_codec_pop_command_id, not first", row_pop_command_id},
        {"oam_codec_pop_station_id, not first", row_pop_station_id},
        {"oam_codec_get_name_value, absent", row_get_name_value},
        {"oam_codec_split's left, no \":\"", row_split_left},
        {"oam_codec_split's right, no \":\"", row_split_right},
        {"oam_codec_pop_value_name's value, empty text", row_pop_value_name_value},
        {"oam_codec_pop_value_name's name, no \"[\"", row_pop_value_name_name},
        {"oam_codec_station_entry's id, empty text", row_station_entry_id},
        {"oam_codec_station_entry's name, no \"]\"", row_station_entry_name},
        {"oam_md5, no data", row_md5},
    };
    char out[OAM_MD5_SIZE + 8];
    size_t i;
    idle.channel = oam_channel_new();
    idle.session = oam_session_new();
    idle.udp = oam_udp_new();
    idle.alarm = oam_alarm_new();
    CHECK(idle.channel && idle.session && idle.udp && idle.alarm);
    if (!idle.channel || !idle.session || !idle.udp || !idle.alarm) return;
    CHECK_INT(oam_udp_bind(idle.udp, 0, "127.0.0.1"), 1);
    for (i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        memset(out, 'x', sizeof out - 1);
        out[sizeof out - 1] = '\0';
        rows[i].call(out, sizeof out);
        if (out[0] != '\0') {
            printf("capi_test.c: %s: output is \"%s\", expected \"\"\n", rows[i].what, out);
            ++failures;
        }
    }
    /* A null handle touches nothing. */
    strcpy(out, "kept");
    CHECK_INT(oam_channel_command(NULL, "", "Login", "", out, sizeof out, NULL), -1);
    CHECK_STR(out, "kept");
    oam_alarm_delete(idle.alarm);
    oam_udp_delete(idle.udp);
    oam_session_delete(idle.session);
    oam_channel_delete(idle.channel);
}

/* ---- alarm receiver ------------------------------------------------------------ */

struct alarm_state {
    oam_alarm* receiver;
    int count;
    ALARM_STRUCT first;
};

static void on_alarm(const ALARM_STRUCT* alarm, void* user) {
    struct alarm_state* s = (struct alarm_state*)user;
    if (s->count++ == 0) s->first = *alarm;
    /* Closing from the callback ends the receive loop: no thread needed. */
    if (s->count == 2) oam_alarm_close(s->receiver);
}

static void test_alarms(const char* peer) {
    struct alarm_state state;
    char text[64];
    uint32_t port = 0;
    oam_alarm* rx = oam_alarm_new();
    CHECK(rx != NULL);
    if (!rx) return;
    memset(&state, 0, sizeof state);
    state.receiver = rx;

    CHECK_INT(oam_alarm_is_open(rx), 0);
    CHECK_INT(oam_alarm_add_peer(rx, "127.0.9.9"), 0);
    CHECK_INT(oam_alarm_clear_peers(rx), 0);
    CHECK_INT(oam_alarm_add_peer(rx, peer), 0);
    CHECK_INT(oam_alarm_set_id(rx, "capi-test"), 0);
    CHECK_INT(oam_alarm_set_callback(rx, NULL, on_alarm, &state), 0);
    CHECK_INT(oam_alarm_bind(rx, 0), 1);
    CHECK_INT(oam_alarm_bind(rx, 0), 0); /* already bound */
    CHECK(oam_alarm_is_open(rx) != 0);
    CHECK_INT(oam_alarm_peer_name(rx, text, sizeof text, &port), 0);

    CHECK_INT(oam_alarm_receive(rx), 0);
    CHECK_INT(state.count, 2);
    CHECK(state.first.Type == 0 || state.first.Type == 1);
    CHECK(state.first.Text1[0] != 0);
    CHECK_INT(oam_alarm_is_open(rx), 0);
    CHECK_INT(oam_alarm_close(rx), -1);
    oam_alarm_delete(rx);
    CHECK_INT(oam_alarm_receive(NULL), -1);
}

int main(int argc, char** argv) {
    const char* host = env_or("OAM_SIM_HOST", "127.0.0.1");
    const char* port = argc > 1 ? argv[1] : getenv("OAM_SIM_PORT");
    const char* peer = getenv("OAM_SIM_ALARM_PEER");

    test_library();
    test_codec();
    test_udp();
    test_outputs_not_stored();
    if (port) {
        test_channel(host, (unsigned)atoi(port));
        test_session(host, (unsigned)atoi(port));
    } else {
        printf("capi_test: no OAM_SIM_PORT, channel not tested\n");
        ++failures;
    }
    if (peer && *peer)
        test_alarms(peer);
    else
        printf("capi_test: no OAM_SIM_ALARM_PEER, alarms not tested\n");

    printf("capi_test: %d failed checks\n", failures);
    return failures ? 1 : 0;
}
