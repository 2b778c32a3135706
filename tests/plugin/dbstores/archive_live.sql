-- The live schema an archive works on (either dialect): run table, saved
-- configurations, their tags and servers, with counter keys.
CREATE TABLE Loggers (IDLogger counter, IDLoggerConfig integer, sLogName varchar(50), sComments varchar(255), dStartTime datetime, dStopTime datetime, bCompleted integer, nStopReason integer, sMainTableName varchar(64), nLogRate integer, nParameters integer)
CREATE TABLE SavedLoggerConfig (IDLoggerConfig counter, sName varchar(50), sDescription varchar(255))
CREATE TABLE SavedLoggerTags (IDTag counter, IDLoggerConfig integer, IDOPCServer integer, sTag varchar(64))
CREATE TABLE SavedOPCServers (IDOPCServer counter, sOPCNode varchar(64), sOPCServer varchar(64))
