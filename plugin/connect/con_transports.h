// The plug-in's connection kinds beyond the named pipe: the TLS socket (2),
// the in-process provider of logged-data stores (3) and SOAP (4).
#pragma once
#include <cstdint>

#include "framework/server/srv_client.h"

// Puts kinds 2..4 in the transport table (the plug-in does it when loaded).
void con_InstallTransports(void);

// The provider connection of a kind-3 entry (called with its lock held).
// Open: 1, or 0 with the entry closed and the last error set; the opening
// thread is recorded. Request: the provider's result, 0 when the entry is no
// open kind-3 entry.
int con_OpenProviderConnection(ServerConnection *entry);
void con_CloseProviderConnection(ServerConnection *entry);
int con_ProviderRequest(ServerConnection *entry, const void *request, uint32_t requestLength, void *reply,
                        uint32_t *replyLength);
