-- The inventory's databases and tables, made only where missing: loading it
-- again never drops, empties or changes a table that is already there.
create database if not exists mysql_cpp_data;
create database if not exists Music_Inventory character set utf8mb4 collate utf8mb4_unicode_ci;
use Music_Inventory;

create table if not exists Artists (
    `ID` bigint not null primary key,
    `First Name` varchar(100),
    `Last Name` varchar(100)
) character set utf8mb4 collate utf8mb4_unicode_ci;

create table if not exists Songs (
    `ISSN` varchar(40) not null primary key,
    `Title` varchar(300),
    `Cost` decimal(8, 2),
    `ID` bigint,
    key (`ID`)
) character set utf8mb4 collate utf8mb4_unicode_ci;
