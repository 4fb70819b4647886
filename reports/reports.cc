#include "reports.h"

#include "report.h"

namespace {

/// Each report's failure line begins with its own prefix, in menu order.
const char* const failurePrefixes[] = {
    "Failed to get Artists table: ", "Failed to get Songs table: ",
    "Failed to get songs by artist: ", "Failed to get the artist of the given song: "};

}  // namespace

int listAllArtists(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query) {
    return runReport(res, query, "select * from Artists;", {"Artist ID", "First Name", "Last Name"},
                     {15, 20}, {"ID", "First Name", "Last Name"}, {}, failurePrefixes[0]);
}

int listAllSongs(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query) {
    return runReport(res, query, "select * from Songs;", {"ISSN", "Title", "Cost", "ID"},
                     {20, 30, 10}, {"ISSN", "Title", "Cost", "ID"}, {}, failurePrefixes[1]);
}

int listSongsByArtist(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query,
                      std::int64_t artistId) {
    const std::string id = std::to_string(artistId);
    return runReport(res, query, "select * from Songs where ID = " + id + ";",
                     {"Artist ID", "Song Title", "ISSN"}, {15, 30}, {"Title", "ISSN"}, id,
                     failurePrefixes[2]);
}

int showArtistOfSong(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, std::string songText) {
    // The pattern's escape character is named in the statement: the default,
    // a backslash, is not one under the SQL mode NO_BACKSLASH_ESCAPES on some
    // servers. Doubled, it matches itself; every other character but the
    // wildcards "%" and "_" does already.
    constexpr char likeEscape = '!';
    std::string pattern;
    for (const char c : songText) {
        if (c == likeEscape) pattern += likeEscape;
        pattern += c;
    }
    // The library's escaping keeps a typed quote inside the string literal.
    std::string literal;
    query.escape_string(&literal, pattern.data(), pattern.size());
    return runReport(res, query,
                     "select Songs.Title as `Title`, Artists.`First Name` as `Artist.First Name`, "
                     "Artists.`Last Name` as `Artist.Last Name` from Songs join Artists on "
                     "Songs.ID = Artists.ID where Songs.Title like '" +
                         literal + "%' escape '" + likeEscape + "';",
                     {"Song Title", "Artist First Name", "Artist Last Name"}, {30, 20},
                     {"Title", "Artist.First Name", "Artist.Last Name"}, {}, failurePrefixes[3]);
}

void reportNotRun(int report, std::string_view reason) {
    writeFailureLine(failurePrefixes[report], reason);
}
