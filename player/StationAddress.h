#pragma once
// The station server's two addresses. The scheme, host and optional port are
// fixed when the program is built: CMake's SONVALE_STATION_SCHEME (http or
// https), SONVALE_STATION_HOST and SONVALE_STATION_PORT, by default the loopback
// demo station over plain http.

extern const wchar_t StationRequestUrl[]; // "<scheme>://<host>/xm/request.php": names the next module
extern const wchar_t StationBaseUrl[];    // "<scheme>://<host>/xm/": module files and the web page
