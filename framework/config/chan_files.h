// The channel files of a device folder: per I/O kind the binary file named by
// the kind ("ai", "di", ...: an 8-byte write stamp, then 216 bytes a channel)
// and, where the driver's extension library supports XML, its XML copy
// ("ai.xml") with a schema in the "SCHEMA" folder beside the device folder.
//
// Channel numbers are 0-based here (first), 1-based in XML ids and history.
// Every call returns 0 or -1 with the error in errno and the last error; an
// XML failure is reported through the error reporter and carries 1465.
#pragma once
#include <cstdint>

#include "framework/config/chan_record.h"

// The namespace base of the XML files and schemas.
#define CHAN_XML_NAMESPACE_BASE "http://schemas.kestrune.com/config"
#define CFG_XML_COMMENT "Created Automatically by Kestrune."

// Reads `count` records from channel `first` on into records[0..count-1], and
// the device's extra blocks (extra, extraSize, extraFile) when given.
int chan_ReadChannels(const char *directory, int kind, ChannelRecord *records, int first, int count, void *extra,
                      uint32_t extraSize, const char *extraFile);
int chan_ReadChannelsHere(int kind, ChannelRecord *records, int first, int count);

// Writes records[0..count-1] as channels first..first+count-1: the binary file
// (unless XML is the only form), the XML copy (when the extension library
// supports it and the WriteXML mode asks for it; `update` keeps the other
// channels of an existing XML file), the change history, and the change
// signal on the configuration folder's "config" file.
int chan_WriteChannelFile(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                          int count, const void *extra, uint32_t extraSize, const char *extraFile, int update);
int chan_WriteChannels(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                       int count, const void *extra, uint32_t extraSize, const char *extraFile);
int chan_RewriteChannels(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                         int count, const void *extra, uint32_t extraSize, const char *extraFile);
int chan_WriteChannelsHere(int kind, const ChannelRecord *records, int first, int count);

// The XML copy alone, then the schema when more than one channel was written
// or the file gained channels (so the schema always admits its file).
int chan_WriteChannelsXml(const char *user, const char *directory, int kind, const ChannelRecord *records, int first,
                          int count, const void *extra, uint32_t extraSize, int update);
// The kind's schema for files of up to `count` channels.
int xsd_WriteChannelSchema(const char *user, const char *directory, int kind, const ChannelRecord *records, int count);

// The elements an XML channel must hold for its settings; the XML error
// "<%s> Required" (or the event-limit order) and -1 when one is missing.
// `present` is a list of names, each enclosed in commas.
int chan_CheckRequiredElements(const char *present, const ChannelRecord *record);
int chan_RequireElement(const char *present, const char *name);
