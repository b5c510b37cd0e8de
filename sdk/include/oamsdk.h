// oamsdk: the one header a host includes.
#pragma once

#include "oam_api.h"
#include "oam_win.h"
#include "oam_string.h"
#include "OamRecords.h"
#include "OamCommand.h"
#include "ClientSocket.h"
#include "OamSession.h"
#include "AlarmSocket.h"
#include "UDPSocket.h"
#include "Corbex.h"
#include "OamModule.h"

#define OAMSDK_VERSION_MAJOR 1
#define OAMSDK_VERSION_MINOR 0
#define OAMSDK_VERSION_PATCH 0
