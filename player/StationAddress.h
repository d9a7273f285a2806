#pragma once
// The station server's two addresses. The host (and optional port) is fixed when
// the program is built: CMake's SONVALE_STATION_HOST and SONVALE_STATION_PORT,
// by default the loopback demo station.

extern const wchar_t StationRequestUrl[]; // "http://<host>/xm/request.php": names the next module
extern const wchar_t StationBaseUrl[];    // "http://<host>/xm/": module files and the web page
