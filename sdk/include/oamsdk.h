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
#include "oamsdk_version.h"
