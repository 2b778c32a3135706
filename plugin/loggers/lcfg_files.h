// Logger configuration files: "<folder>\<type>_<n>" (binary) and
// "<folder>\<type>_<n>.xml" with its schema "..\SCHEMA\<type>.xsd".
//
// The XML layer's error is process-wide: reads and writes of configuration
// files run one at a time in a process.
#pragma once
#include <cstdint>

// One record into `record` (at most `length` bytes). The XML file is read when
// the type has a record type, "ReadXML" is on and the file exists; else the
// binary file. 0, or -1 with the error in errno and the last error (XML
// failures: 1465, the text in the event log).
int lcfg_ReadLogger(const char *folder, const char *typeName, int number, void *record, int length);
// Writes by the "WriteXML" mode (0 binary, 1 both, 2 XML), keeps the change
// history and touches the configuration's "config". 0 / -1.
int lcfg_WriteLogger(const char *folder, const char *user, const char *typeName, int number, const void *record,
                     int length);

// The same on the working folder.
int lcfg_ReadLoggerHere(const char *typeName, int number, void *record, int length);
int lcfg_WriteLoggerHere(const char *user, const char *typeName, int number, const void *record, int length);
// The logger of entry n (1-based) of the shared logger table: its type name,
// and n as the logger number.
int lcfg_ReadLoggerN(const char *folder, int n, void *record, int length);
int lcfg_WriteLoggerN(const char *folder, const char *user, int n, const void *record, int length);

// The configuration flag (byte 0 of the working folder's "config") and the
// 6-byte save record ("saveconfig"). 0 / -1.
int lcfg_ReadConfigFlag(uint8_t *flag);
int lcfg_WriteConfigFlag(uint8_t flag);
int lcfg_WriteSaveConfig(const uint8_t record[6]);

// The schema of a type: "<parent of folder>\SCHEMA\<type>.xsd". 0 / -1.
int lcfg_WriteSchema(const char *folder, const char *typeName);
