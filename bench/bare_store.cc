// The benchmark's baseline: the library's own store of all songs followed by
// the same table printing as the program's, with nothing else around it.

#include <mysql++/mysql++.h>

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "reports/table.h"

int main() {
    mysqlpp::Connection con(true);
    try {
        con.set_option(new mysqlpp::SetCharsetNameOption("utf8mb4"));
        con.connect("Music_Inventory", "localhost", "root", "tamrix", 0);
        mysqlpp::Query query = con.query("select * from Songs;");
        const mysqlpp::StoreQueryResult res = query.store();
        const std::vector<std::size_t> widths = {20, 30, 10};
        std::string line;
        appendTableLine(line, {"ISSN", "Title", "Cost", "ID"}, widths);
        std::cout << line << std::endl;
        std::vector<std::string_view> cells(4);
        for (const mysqlpp::Row& row : res) {
            for (int c = 0; c < 4; ++c) cells[c] = std::string_view(row[c].data(), row[c].length());
            line.clear();
            appendTableLine(line, cells, widths);
            std::cout << line << std::endl;
        }
    } catch (const mysqlpp::Exception& e) {
        std::cerr << "bare_store: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
