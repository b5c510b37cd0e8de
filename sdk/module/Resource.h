// String resources of the module.
#pragma once

#define IDP_SOCKETS_INIT_FAILED 101
