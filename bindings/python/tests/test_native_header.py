"""The ctypes side of the package against oamsdk_c.h: every prototype's
result and argument types, and the constants and enumerations the package
copies, read from the header itself."""
import ctypes
import os
import re

import pytest

from oamsdk import SessionCause, SessionState, TransferPhase, _native, errors

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "sdk", "include", "oamsdk_c.h")


@pytest.fixture(scope="module")
def header():
    if not os.path.isfile(HEADER):
        pytest.skip("no oamsdk_c.h beside the package (not a checkout)")
    with open(HEADER) as f:
        text = re.sub(r"/\*.*?\*/", " ", f.read(), flags=re.S)
    return text


SCALARS = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64,
           "uint16_t": ctypes.c_uint16, "size_t": ctypes.c_size_t, "double": ctypes.c_double}
CALLBACKS = {"oam_link_break_fn": _native.LINK_BREAK_FN, "oam_alarm_fn": _native.ALARM_FN,
             "oam_log_fn": _native.LOG_FN, "oam_progress_fn": _native.PROGRESS_FN,
             "oam_session_fn": _native.SESSION_FN}


def ctype(decl):
    """The ctypes type a C parameter or result declaration stands for."""
    decl = re.sub(r"\b(const|struct)\b", " ", decl).replace("unsigned char", "void")  # a byte buffer
    decl = re.sub(r"\s+\w+$", "", decl.strip()) if decl.count("*") == 0 and len(decl.split()) > 1 else decl
    stars = decl.count("*")
    base = decl.replace("*", " ").split()[0]
    if stars == 0:
        return None if base == "void" else CALLBACKS.get(base) or SCALARS[base]
    assert stars == 1, decl
    if base == "char":
        return ctypes.c_char_p
    if base == "void" or base.startswith("oam_"):
        return ctypes.c_void_p  # the opaque handles
    if base in SCALARS:
        return ctypes.POINTER(SCALARS[base])
    return ctypes.POINTER(getattr(_native, base))


def declarations(text):
    for m in re.finditer(r"OAMSDK_API\s+([^;(]*?)\b(oam_\w+)\s*\(([^)]*)\)\s*;", text):
        result, name, params = m.groups()
        params = [p.strip() for p in params.split(",") if p.strip() and p.strip() != "void"]
        # A parameter's name goes: "const char* name" -> "const char*".
        params = [re.sub(r"\s*\b\w+$", "", p) if not p.endswith("*") else p for p in params]
        yield name, ctype(result), [ctype(p) for p in params]


def test_every_prototype_matches_the_header(header):
    declared = {name: (res, args) for name, res, args in declarations(header)}
    assert len(declared) > 100
    for name, (res, args) in _native.PROTOTYPES.items():
        assert name in declared, name
        want_res, want_args = declared[name]
        assert res == want_res, name
        assert list(args) == want_args, name


def define(header, name):
    m = re.search(r"#define\s+%s\s+\(?(-?\d+)\)?" % name, header)
    assert m, name
    return int(m.group(1))


@pytest.mark.parametrize("ours, theirs", [
    ("REPLY_MAX", "OAM_REPLY_MAX"), ("MD5_SIZE", "OAM_MD5_SIZE"), ("SINK_R", "OAM_SINK_R"), ("SINK_D", "OAM_SINK_D"),
    ("SETTING_OK", "OAM_SETTING_OK"), ("SETTING_BAD_VALUE", "OAM_SETTING_BAD_VALUE"),
    ("SETTING_FAILED", "OAM_SETTING_FAILED"), ("PROGRESS_CANCELLED", "OAM_PROGRESS_CANCELLED"),
    ("LINK_DOWN", "OAM_LINK_DOWN"), ("BUSY", "OAM_BUSY"), ("DESYNCHRONISED", "OAM_DESYNCHRONISED"),
    ("RESULT_NONE", "OAM_RESULT_NONE"), ("RESULT_SERVER", "OAM_RESULT_SERVER"),
    ("RESULT_LIBRARY", "OAM_RESULT_LIBRARY"),
])
def test_constants_match_the_header(header, ours, theirs):
    assert getattr(_native, ours) == define(header, theirs)


@pytest.mark.parametrize("enum, prefix", [(SessionState, "OAM_STATE_"), (SessionCause, "OAM_REASON_"),
                                          (TransferPhase, "OAM_PROGRESS_")])
def test_enumerations_match_the_header(header, enum, prefix):
    names = re.findall(r"#define\s+%s([A-Z_]+)\s+\(?-?\d+" % prefix, header)
    values = {n: define(header, prefix + n) for n in names if n != "CANCELLED"}
    assert {m.name: m.value for m in enum} == values


def test_download_codes_match_the_header(header):
    codes = {int(v) for v in re.findall(r"#define\s+OAM_DOWNLOAD_\w+\s+(\d+)", header)}
    assert codes and codes <= set(errors._DOWNLOAD_REASONS)


def test_version_major_is_the_projects(header):
    # The C interface's version is the project's, defined once in CMake.
    assert re.search(r"#define\s+OAMSDK_C_VERSION_MAJOR\s+OAMSDK_VERSION_MAJOR\b", header)
    cmake = os.path.join(os.path.dirname(HEADER), "..", "..", "CMakeLists.txt")
    with open(cmake) as f:
        m = re.search(r"project\(oamsdk VERSION (\d+)\.", f.read())
    assert m
    assert _native.C_VERSION_MAJOR == int(m.group(1))
