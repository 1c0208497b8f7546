// The functions of the library's service tasks, which the start-up creates.
#pragma once

#include <cstdint>

// The tempo task: starts the periodic tick of the tempo pass, after creating "_TEMPO_BOX".
uint32_t TempoTaskFunction(void* pParam);
// The store task: creates "_STORE_BOX", then performs the deferred file requests posted to it.
uint32_t StoreTaskFunction(void* pParam);
// The TCP task: creates "_TCP_BOX", then closes the sockets whose shutdown is posted to it.
uint32_t TcpTaskFunction(void* pParam);
