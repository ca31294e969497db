-- The embedded default user database: the suite's Sys_user table with a few users.
-- AccountState 1 marks a retired user, whose stored messages the nightly sweep removes.
create table Sys_user (ID integer primary key, UserName text not null, AccountState integer);
insert into Sys_user (UserName, AccountState) values
  ('alice', 0), ('bob', 0), ('carol', null), ('Dave', 0), ('张三', 0), ('mallory', 1);
