/* The route engine: builds one private aggregate of the KORVANE device, a source and a listening
 * output, and copies audio between them in a real-time callback. A plain C interface; nothing
 * throws across it. Every function is called from the helper's main thread. */
#ifndef KORVANE_ROUTE_ENGINE_H
#define KORVANE_ROUTE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One started route, owned by the caller and freed only by RavlinRouteStop. */
typedef struct RouteState RouteState;

/* Starts a route from `inputDevice` (0: system playback is the source) to the listening output
 * `outputDevice` (0: nothing is heard). Returns the running route, leaving `message` untouched;
 * or null after writing "<text> (<code>)" into `message`, cut to `messageCapacity` bytes and
 * always terminated. After a failure nothing of the attempt remains. */
RouteState* RavlinRouteStart(uint32_t inputDevice, uint32_t outputDevice, char* message, uint32_t messageCapacity);

/* Stops the device before destroying its callback, destroys the aggregate, releases the lock and
 * frees the route. A null route does nothing. */
void RavlinRouteStop(RouteState* route);

/* Completed callback cycles since the start; 0 for a null route. */
uint64_t RavlinRouteCycles(RouteState* route);

/* The largest absolute sample sent to the listening output since the previous call (the stored
 * peak is reset to 0); 0 for a null route. */
float RavlinRouteMonitorPeak(RouteState* route);

/* The KORVANE device's object id; 0 for a null route. */
uint32_t RavlinRoutePlaybackDevice(RouteState* route);

#ifdef __cplusplus
}
#endif

#endif
