/* The engine's header is plain C: this file only has to compile as C. */
#include "router/engine/route_engine.h"

#include <stddef.h>

int korvaneRouteEngineHeaderCompilesAsC(void) {
    char message[512] = {0};
    RouteState* route = RavlinRouteStart(0, 0, message, (uint32_t)sizeof message);
    const uint64_t cycles = RavlinRouteCycles(route);
    const float peak = RavlinRouteMonitorPeak(route);
    const uint32_t device = RavlinRoutePlaybackDevice(route);
    RavlinRouteStop(route);
    return route == NULL && cycles == 0 && peak == 0.0f && device == 0;
}
