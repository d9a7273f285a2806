#include "StationAddress.h"

// The only file that sees the built-in address: a player for another station
// is this file compiled with another StationHost.h.
#include "StationHost.h"

const wchar_t StationRequestUrl[] = SONVALE_STATION_ORIGIN L"/xm/request.php";
const wchar_t StationBaseUrl[] = SONVALE_STATION_ORIGIN L"/xm/";
