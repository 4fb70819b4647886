-- The inventory's databases and tables. Loading it again starts the tables
-- afresh, empty.
create database if not exists mysql_cpp_data;
create database if not exists Music_Inventory character set utf8mb4 collate utf8mb4_unicode_ci;
use Music_Inventory;

drop table if exists Songs;
drop table if exists Artists;

create table Artists (
    `ID` bigint not null primary key,
    `First Name` varchar(100),
    `Last Name` varchar(100)
) character set utf8mb4 collate utf8mb4_unicode_ci;

create table Songs (
    `ISSN` varchar(40) not null primary key,
    `Title` varchar(300),
    `Cost` decimal(8, 2),
    `ID` bigint,
    key (`ID`)
) character set utf8mb4 collate utf8mb4_unicode_ci;
