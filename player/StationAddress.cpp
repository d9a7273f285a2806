#include "StationAddress.h"

#include "StationHost.h"

const wchar_t StationRequestUrl[] = L"http://" SONVALE_STATION_AUTHORITY L"/xm/request.php";
const wchar_t StationBaseUrl[] = L"http://" SONVALE_STATION_AUTHORITY L"/xm/";
