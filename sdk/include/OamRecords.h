// Records shared with the host: plain fixed-size structures, 32-bit
// little-endian integers, NUL-terminated single-byte names, no gaps. Valid
// C99 as well as C++, so that oamsdk_c.h hands the same records to C hosts.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The layout checks hold in every language a host may compile this in.
#if defined(__cplusplus)
#define OAM_RECORD_CHECK(cond, what) static_assert(cond, what)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define OAM_RECORD_CHECK(cond, what) _Static_assert(cond, what)
#else
#define OAM_RECORD_CHECK_JOIN2(a, b) a##b
#define OAM_RECORD_CHECK_JOIN(a, b) OAM_RECORD_CHECK_JOIN2(a, b)
#define OAM_RECORD_CHECK(cond, what) \
    typedef char OAM_RECORD_CHECK_JOIN(oam_record_check_, __LINE__)[(cond) ? 1 : -1]
#endif

typedef struct PTZDEVICE_STRUCT {
    char PtzName[128];
    int32_t PtzID;
} PTZDEVICE_STRUCT;

typedef struct WACDEVICE_STRUCT {
    char DeviceName[128];
    int32_t DeviceID;
    int32_t PtzCount;
    PTZDEVICE_STRUCT PtzDevice[5];
} WACDEVICE_STRUCT;

typedef struct STATION_STRUCT {
    char StationID[36];
    char StationName[128];
    int32_t DeviceCount;
    WACDEVICE_STRUCT Device[16];
    int32_t StationValue;
} STATION_STRUCT;

typedef struct ALARM_STRUCT {
    int32_t ID;
    char Text1[36];
    int32_t DeviceID;
    int32_t Type;
    int32_t AlarmID;
    char Text2[36];
    char Text3[128];
    char ObjText[36];
    int32_t ObjWidth;
    int32_t ObjHeight;
    int32_t ObjColor;
    int32_t ObjPosX;
    int32_t ObjPosY;
    int32_t ObjSpeed;
    float ObjDir;
    int32_t ObjRoi;
} ALARM_STRUCT;

OAM_RECORD_CHECK(sizeof(PTZDEVICE_STRUCT) == 132, "PTZDEVICE_STRUCT layout");
OAM_RECORD_CHECK(offsetof(PTZDEVICE_STRUCT, PtzID) == 128, "PTZDEVICE_STRUCT layout");

OAM_RECORD_CHECK(sizeof(WACDEVICE_STRUCT) == 796, "WACDEVICE_STRUCT layout");
OAM_RECORD_CHECK(offsetof(WACDEVICE_STRUCT, DeviceID) == 128, "WACDEVICE_STRUCT layout");
OAM_RECORD_CHECK(offsetof(WACDEVICE_STRUCT, PtzCount) == 132, "WACDEVICE_STRUCT layout");
OAM_RECORD_CHECK(offsetof(WACDEVICE_STRUCT, PtzDevice) == 136, "WACDEVICE_STRUCT layout");

OAM_RECORD_CHECK(sizeof(STATION_STRUCT) == 12908, "STATION_STRUCT layout");
OAM_RECORD_CHECK(offsetof(STATION_STRUCT, StationName) == 36, "STATION_STRUCT layout");
OAM_RECORD_CHECK(offsetof(STATION_STRUCT, DeviceCount) == 164, "STATION_STRUCT layout");
OAM_RECORD_CHECK(offsetof(STATION_STRUCT, Device) == 168, "STATION_STRUCT layout");
OAM_RECORD_CHECK(offsetof(STATION_STRUCT, StationValue) == 12904, "STATION_STRUCT layout");

OAM_RECORD_CHECK(sizeof(ALARM_STRUCT) == 284, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, Text1) == 4, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, DeviceID) == 40, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, Type) == 44, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, AlarmID) == 48, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, Text2) == 52, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, Text3) == 88, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjText) == 216, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjWidth) == 252, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjHeight) == 256, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjColor) == 260, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjPosX) == 264, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjPosY) == 268, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjSpeed) == 272, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjDir) == 276, "ALARM_STRUCT layout");
OAM_RECORD_CHECK(offsetof(ALARM_STRUCT, ObjRoi) == 280, "ALARM_STRUCT layout");
