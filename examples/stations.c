/* Lists the stations of a management server and their devices through the
 * C interface, and shows a refusal with the server's reason.
 *     stations_c [HOST] [PORT] */
#include <stdio.h>
#include <stdlib.h>

#include "oamsdk_c.h"

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    uint32_t port = argc > 2 ? (uint32_t)atoi(argv[2]) : 9000;
    static char reply[OAM_REPLY_MAX + 1]; /* always holds a whole reply */
    STATION_STRUCT* stations;
    int32_t n, i, d, rc;
    oam_channel* ch = oam_channel_new();

    if (!ch || !oam_channel_connect(ch, host, port)) {
        fprintf(stderr, "cannot connect to %s:%u (error %u)\n", host, (unsigned)port, (unsigned)oam_last_error());
        oam_channel_delete(ch);
        return 1;
    }
    rc = oam_channel_command(ch, "", "Login", "User=admin;Password=admin;", reply, sizeof reply, NULL);
    if (rc != 0) {
        fprintf(stderr, "log-in failed (%d): %s\n", (int)rc, reply);
        oam_channel_delete(ch);
        return 1;
    }

    n = oam_channel_stations(ch, NULL, 0); /* the count first, then the records */
    stations = n > 0 ? (STATION_STRUCT*)calloc((size_t)n, sizeof *stations) : NULL;
    if (stations) n = oam_channel_stations(ch, stations, n);
    for (i = 0; stations && i < n; ++i) {
        oam_channel_devices(ch, &stations[i]);
        printf("%s %s: %d devices\n", stations[i].StationID, stations[i].StationName, (int)stations[i].DeviceCount);
        for (d = 0; d < stations[i].DeviceCount; ++d)
            printf("  %d %s (%d PTZ)\n", (int)stations[i].Device[d].DeviceID, stations[i].Device[d].DeviceName,
                   (int)stations[i].Device[d].PtzCount);
    }
    free(stations);

    printf("S1 Contrast: %d\n", (int)oam_channel_get_parameter(ch, "S1", "Contrast"));
    rc = oam_channel_command(ch, "S1", "Set", "Contrast=500;", reply, sizeof reply, NULL);
    if (rc != 0) printf("refused (%d): %s\n", (int)rc, reply);

    oam_channel_delete(ch);
    return n >= 0 ? 0 : 1;
}
