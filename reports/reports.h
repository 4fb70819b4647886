#pragma once

#include <mysql++/mysql++.h>

#include <cstdint>
#include <string>
#include <string_view>

// The four reports of the menu. Each runs one statement through `query`,
// keeps its result in `res` and prints it as a table on standard output, or
// one failure line on standard error. Each returns 0 when it printed its
// table (also an empty one) and 1 when it failed.

int listAllArtists(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query);
int listAllSongs(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query);
int listSongsByArtist(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, std::int64_t artistId);

/// Lists the songs whose titles begin with `songText`, with their artists.
/// "%" and "_" in it are wildcards; every other character matches itself.
int showArtistOfSong(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, std::string songText);

/// Writes the failure line of report `report` (its number in the menu, 0 to
/// 3) for a report that could not be run: its own prefix, then `reason`.
void reportNotRun(int report, std::string_view reason);
