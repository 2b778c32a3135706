// scadasim's answers to the file verbs of request lines, against its world:
// "SF" size, "TF" times, "RF" read, "WF" write, "DF" list, "UF" delete, "NF"
// make a folder, "OF" is a file, "BF" is a folder, "EF" move, "MF" make a
// unique file. A path begins with a named folder ("TSQ_CURRENT_CONFIG\...")
// and may not leave it.
#pragma once
#include <string>

// True when `request` (all its bytes) is a file verb; *reply gets the answer
// without its terminator. configFolder: the folder TSQ_CURRENT_CONFIG names
// ("" = the environment's).
bool sim_AnswerFileVerb(const std::string &configFolder, const std::string &request, std::string *reply);

// The configuration verbs against the folder TSQ_CURRENT_CONFIG names:
// "IF" channels, "GF" device record and switches, "HF" write channels, "FF"
// write the device record, "CF" write a logger configuration. True when
// `request` is one; *reply gets the exact bytes to send.
bool sim_AnswerConfigVerb(const std::string &configFolder, const std::string &request, std::string *reply);

// "CV,PP,N": channel N's record of the data area PP from the world's
// configuration area, after an 8-byte head ("1,PP,NNN"). True when `request`
// is one; *reply gets the exact bytes to send.
bool sim_AnswerChannelVerb(const std::string &request, std::string *reply);

// "LF,<folder>,information.ini": the position of an asset folder below this
// computer's asset root, "1,<latitude>,<longitude>", or "0" when it has none.
// True when `request` is one; *reply gets the answer without its terminator.
bool sim_AnswerAssetVerb(const std::string &request, std::string *reply);

// "IL,<selector>": the loggers of the world's "LOGCAP.TXT" and "LOGGERS"
// records, "n,type,number,description;...", or "-1,<code>" for a bad table
// or record. True when `request` is one; *reply gets the answer without its
// terminator.
bool sim_AnswerLoggerListVerb(const std::string &configFolder, const std::string &request, std::string *reply);
