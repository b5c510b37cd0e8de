"""The C interface of liboamsdk (oamsdk_c.h) through ctypes: the library
is loaded once, every function gets its prototype from one table, and the
records are declared with their exact sizes."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
from typing import Any, List

from ctypes import (CFUNCTYPE, POINTER, Structure, c_char, c_char_p, c_double, c_float, c_int32, c_int64,
                    c_size_t, c_uint16, c_uint32, c_void_p)

#: Environment variable naming the library file to load.
LIBRARY_ENV = "OAMSDK_LIBRARY"
#: Major version of the C interface this package is written for.
C_VERSION_MAJOR = 1

REPLY_MAX = 60000
MD5_SIZE = 33
SINK_R = 0
SINK_D = 1
SETTING_OK = 0
SETTING_BAD_VALUE = -2
SETTING_FAILED = -3
PROGRESS_CANCELLED = 110
LINK_DOWN = -2
BUSY = -3
DESYNCHRONISED = -4
# Where the result of a thread's last command came from (oam_last_result_origin).
RESULT_NONE = 0
RESULT_SERVER = 1
RESULT_LIBRARY = 2


class PTZDEVICE_STRUCT(Structure):
    _fields_ = [("PtzName", c_char * 128), ("PtzID", c_int32)]


class WACDEVICE_STRUCT(Structure):
    _fields_ = [("DeviceName", c_char * 128), ("DeviceID", c_int32), ("PtzCount", c_int32),
                ("PtzDevice", PTZDEVICE_STRUCT * 5)]


class STATION_STRUCT(Structure):
    _fields_ = [("StationID", c_char * 36), ("StationName", c_char * 128), ("DeviceCount", c_int32),
                ("Device", WACDEVICE_STRUCT * 16), ("StationValue", c_int32)]


class ALARM_STRUCT(Structure):
    _fields_ = [("ID", c_int32), ("Text1", c_char * 36), ("DeviceID", c_int32), ("Type", c_int32),
                ("AlarmID", c_int32), ("Text2", c_char * 36), ("Text3", c_char * 128), ("ObjText", c_char * 36),
                ("ObjWidth", c_int32), ("ObjHeight", c_int32), ("ObjColor", c_int32), ("ObjPosX", c_int32),
                ("ObjPosY", c_int32), ("ObjSpeed", c_int32), ("ObjDir", c_float), ("ObjRoi", c_int32)]


class SESSION_EVENT(Structure):
    _fields_ = [("state", c_int32), ("cause", c_int32), ("code", c_int32), ("attempt", c_int32),
                ("delay_ms", c_int32), ("text", c_char_p)]


# The records' sizes are part of the interface: a mismatch would write past them.
for _record, _size in ((PTZDEVICE_STRUCT, 132), (WACDEVICE_STRUCT, 796), (STATION_STRUCT, 12908),
                       (ALARM_STRUCT, 284)):
    if ctypes.sizeof(_record) != _size:
        raise ImportError("%s is %d bytes, expected %d" % (_record.__name__, ctypes.sizeof(_record), _size))

# Opaque handles.
channel_p = c_void_p
alarm_p = c_void_p
udp_p = c_void_p
session_p = c_void_p

# Any: ctypes' function types are made at run time.
LINK_BREAK_FN: Any = CFUNCTYPE(None, c_void_p, c_void_p)
ALARM_FN: Any = CFUNCTYPE(None, POINTER(ALARM_STRUCT), c_void_p)
LOG_FN: Any = CFUNCTYPE(None, c_int32, c_char_p, c_void_p)
PROGRESS_FN: Any = CFUNCTYPE(c_int32, c_int64, c_int64, c_int32, c_void_p)
SESSION_FN: Any = CFUNCTYPE(None, c_void_p, POINTER(SESSION_EVENT), c_void_p)

_sz = POINTER(c_size_t)
_u32 = POINTER(c_uint32)

# name: (result type, argument types). A new C function is one line here.
PROTOTYPES = {
    "oam_version": (c_uint32, []),
    "oam_startup_succeeded": (c_int32, []),
    "oam_name_to_inet": (c_uint32, [c_char_p]),
    "oam_library_version": (c_int32, [c_char_p, c_size_t]),
    "oam_library_soname": (c_int32, [c_char_p, c_size_t]),
    "oam_last_result_origin": (c_int32, []),
    "oam_set_code_page": (c_int32, [c_uint32]),
    "oam_code_page": (c_uint32, []),
    "oam_channel_new": (channel_p, []),
    "oam_channel_delete": (None, [channel_p]),
    "oam_channel_set_link_break": (c_int32, [channel_p, c_void_p, LINK_BREAK_FN, c_void_p]),
    "oam_channel_set_server_address": (c_int32, [channel_p, c_char_p]),
    "oam_channel_set_server": (c_int32, [channel_p, c_char_p, c_uint32]),
    "oam_channel_connect": (c_int32, [channel_p, c_char_p, c_uint32]),
    "oam_channel_close": (c_int32, [channel_p]),
    "oam_channel_send": (c_int32, [channel_p, c_void_p, c_int32]),
    "oam_channel_send_unlocked": (c_int32, [channel_p, c_void_p, c_int32]),
    "oam_channel_local_ip": (c_int32, [channel_p, c_char_p, c_size_t]),
    "oam_channel_server_ip": (c_int32, [channel_p, c_char_p, c_size_t]),
    "oam_channel_notify_close": (c_int32, [channel_p, c_int32]),
    "oam_channel_command": (c_int32, [channel_p, c_char_p, c_char_p, c_char_p, c_char_p, c_size_t, _sz]),
    "oam_channel_command_unlocked": (c_int32, [channel_p, c_char_p, c_char_p, c_char_p, c_char_p, c_size_t, _sz]),
    "oam_channel_receive_reply": (c_int32, [channel_p, c_char_p, c_size_t, _sz]),
    "oam_channel_discard_input": (c_int32, [channel_p]),
    "oam_channel_stations": (c_int32, [channel_p, POINTER(STATION_STRUCT), c_int32]),
    "oam_channel_devices": (c_int32, [channel_p, POINTER(STATION_STRUCT)]),
    "oam_channel_get_parameter": (c_int32, [channel_p, c_char_p, c_char_p]),
    "oam_channel_set_parameter": (c_int32, [channel_p, c_char_p, c_char_p, c_int32]),
    "oam_channel_control": (c_int32, [channel_p, c_char_p, c_char_p, c_int32]),
    "oam_channel_upload": (c_int32, [channel_p, c_char_p, c_char_p]),
    "oam_channel_download": (c_int32, [channel_p, c_char_p, c_char_p]),
    "oam_channel_set_strict_session": (c_int32, [channel_p, c_int32]),
    "oam_channel_strict_session": (c_int32, [channel_p]),
    "oam_channel_reply_session_matched": (c_int32, [channel_p]),
    "oam_channel_reply_session_mismatched": (c_int32, [channel_p]),
    "oam_channel_set_command_timeout": (c_int32, [channel_p, c_int32]),
    "oam_channel_set_connect_timeout": (c_int32, [channel_p, c_int32]),
    "oam_channel_set_keep_alive": (c_int32, [channel_p, c_int32, c_int32, c_int32]),
    "oam_channel_disable_keep_alive": (c_int32, [channel_p]),
    "oam_channel_set_upload_level": (c_int32, [channel_p, c_int32]),
    "oam_channel_set_progress": (c_int32, [channel_p, PROGRESS_FN, c_void_p]),
    "oam_session_new": (session_p, []),
    "oam_session_delete": (None, [session_p]),
    "oam_session_set_server": (c_int32, [session_p, c_char_p, c_uint32]),
    "oam_session_set_login": (c_int32, [session_p, c_char_p]),
    "oam_session_set_backoff": (c_int32, [session_p, c_int32, c_int32, c_int32, c_int32]),
    "oam_session_set_callback": (c_int32, [session_p, SESSION_FN, c_void_p]),
    "oam_session_set_auto_reconnect": (c_int32, [session_p, c_int32]),
    "oam_session_set_strict_session": (c_int32, [session_p, c_int32]),
    "oam_session_set_command_timeout": (c_int32, [session_p, c_int32]),
    "oam_session_set_connect_timeout": (c_int32, [session_p, c_int32]),
    "oam_session_set_keep_alive": (c_int32, [session_p, c_int32, c_int32, c_int32]),
    "oam_session_disable_keep_alive": (c_int32, [session_p]),
    "oam_session_set_upload_level": (c_int32, [session_p, c_int32]),
    "oam_session_set_progress": (c_int32, [session_p, PROGRESS_FN, c_void_p]),
    "oam_session_open": (c_int32, [session_p]),
    "oam_session_close": (c_int32, [session_p]),
    "oam_session_state": (c_int32, [session_p]),
    "oam_session_is_connected": (c_int32, [session_p]),
    "oam_session_command": (c_int32, [session_p, c_char_p, c_char_p, c_char_p, c_char_p, c_size_t, _sz]),
    "oam_session_stations": (c_int32, [session_p, POINTER(STATION_STRUCT), c_int32]),
    "oam_session_devices": (c_int32, [session_p, POINTER(STATION_STRUCT)]),
    "oam_session_get_parameter": (c_int32, [session_p, c_char_p, c_char_p, POINTER(c_int32)]),
    "oam_session_set_parameter": (c_int32, [session_p, c_char_p, c_char_p, c_int32]),
    "oam_session_control": (c_int32, [session_p, c_char_p, c_char_p, c_int32]),
    "oam_session_upload": (c_int32, [session_p, c_char_p, c_char_p]),
    "oam_session_download": (c_int32, [session_p, c_char_p, c_char_p]),
    "oam_alarm_new": (alarm_p, []),
    "oam_alarm_delete": (None, [alarm_p]),
    "oam_alarm_add_peer": (c_int32, [alarm_p, c_char_p]),
    "oam_alarm_clear_peers": (c_int32, [alarm_p]),
    "oam_alarm_set_id": (c_int32, [alarm_p, c_char_p]),
    "oam_alarm_set_callback": (c_int32, [alarm_p, c_void_p, ALARM_FN, c_void_p]),
    "oam_alarm_bind": (c_int32, [alarm_p, c_uint32]),
    "oam_alarm_receive": (c_int32, [alarm_p]),
    "oam_alarm_close": (c_int32, [alarm_p]),
    "oam_alarm_is_open": (c_int32, [alarm_p]),
    "oam_alarm_peer_name": (c_int32, [alarm_p, c_char_p, c_size_t, _u32]),
    "oam_udp_new": (udp_p, []),
    "oam_udp_copy": (udp_p, [udp_p]),
    "oam_udp_delete": (None, [udp_p]),
    "oam_udp_bind": (c_int32, [udp_p, c_uint32, c_char_p]),
    "oam_udp_close": (c_int32, [udp_p]),
    "oam_udp_send_to": (c_int32, [udp_p, c_void_p, c_int32, c_char_p, c_uint16]),
    "oam_udp_send": (c_int32, [udp_p, c_void_p, c_int32]),
    "oam_udp_recv_from": (c_int32, [udp_p, c_void_p, c_int32, c_char_p, c_size_t, _u32]),
    "oam_udp_wait": (c_int32, [udp_p, c_uint32]),
    "oam_udp_set_remote": (c_int32, [udp_p, c_char_p, c_uint32]),
    "oam_udp_remote": (c_int32, [udp_p, c_char_p, c_size_t, _u32]),
    "oam_udp_peer_name": (c_int32, [udp_p, c_char_p, c_size_t, _u32]),
    "oam_udp_is_open": (c_int32, [udp_p]),
    "oam_udp_set_used": (c_int32, [udp_p, c_int32]),
    "oam_udp_is_used": (c_int32, [udp_p]),
    "oam_codec_pop_name_value": (c_int32, [c_char_p, c_char_p, c_size_t, c_char_p, c_size_t, c_int32]),
    "oam_codec_pop_int": (c_int32, [c_char_p, c_char_p]),
    "oam_codec_pop_float": (c_double, [c_char_p, c_char_p]),
    "oam_codec_pop_session_id": (c_int32, [c_char_p]),
    "oam_codec_pop_return_code": (c_int32, [c_char_p]),
    "oam_codec_pop_command_id": (c_int32, [c_char_p, c_char_p, c_size_t]),
    "oam_codec_pop_station_id": (c_int32, [c_char_p, c_char_p, c_size_t]),
    "oam_codec_get_name_value": (c_int32, [c_char_p, c_char_p, c_char_p, c_size_t]),
    "oam_codec_split": (c_int32, [c_char_p, c_char_p, c_size_t, c_char_p, c_size_t]),
    "oam_codec_pop_value_name": (c_int32, [c_char_p, c_char_p, c_size_t, c_char_p, c_size_t]),
    "oam_codec_station_entry": (c_int32, [c_char_p, c_char_p, c_size_t, c_char_p, c_size_t, POINTER(c_int32)]),
    "oam_codec_device_entry": (c_int32, [c_char_p, POINTER(WACDEVICE_STRUCT)]),
    "oam_codec_ptz_entry": (c_int32, [c_char_p, POINTER(PTZDEVICE_STRUCT)]),
    "oam_log_set_hook": (c_int32, [c_int32, LOG_FN, c_void_p]),
    "oam_log": (c_int32, [c_int32, c_char_p]),
    "oam_last_error": (c_uint32, []),
    "oam_last_error_text": (c_int32, [c_char_p, c_size_t]),
    "oam_module_dir": (c_int32, [c_char_p, c_size_t]),
    "oam_base64_decode": (c_int32, [c_char_p, c_void_p, c_int32]),
    "oam_base64_text_size": (c_int32, [c_uint32]),
    "oam_base64_binary_size": (c_int32, [c_uint32]),
    "oam_md5": (c_int32, [c_void_p, c_uint32, c_char_p]),
}


def _candidates() -> List[str]:
    path = os.environ.get(LIBRARY_ENV)
    if path:
        return [path]
    if sys.platform == "win32":
        names = ["liboamsdk.dll", "oamsdk.dll"]
    elif sys.platform == "darwin":
        names = ["liboamsdk.1.dylib", "liboamsdk.dylib"]
    else:
        names = ["liboamsdk.so.1", "liboamsdk.so"]
    found = ctypes.util.find_library("oamsdk")
    return names + ([found] if found else [])


def _load() -> Any:
    errors = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as e:
            errors.append("%s: %s" % (name, e))
    else:
        raise ImportError("oamsdk: cannot load liboamsdk (set %s to its path): %s"
                          % (LIBRARY_ENV, "; ".join(errors)))
    for fname, (restype, argtypes) in PROTOTYPES.items():
        try:
            f = getattr(lib, fname)
        except AttributeError:
            raise ImportError("oamsdk: %s lacks %s: an older library than this package" % (lib._name, fname))
        f.restype = restype
        f.argtypes = argtypes
    major = lib.oam_version() >> 16
    if major != C_VERSION_MAJOR:
        raise ImportError("oamsdk: %s has C interface version %d, this package needs %d"
                          % (lib._name, major, C_VERSION_MAJOR))
    return lib


#: The library, its functions typed by PROTOTYPES (Any to the type checker).
lib: Any = _load()

# The exchange without per-call argument conversion (about a microsecond of
# the round trip): its callers pass only ctypes objects and bytes, exactly
# of the prototype's types (c_void_p handle, bytes, char buffer, c_size_t,
# byref(c_size_t)).
command_unchecked: Any = lib["oam_channel_command"]
command_unchecked.restype = c_int32
