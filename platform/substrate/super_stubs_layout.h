/* The shape of the stub pool, shared by super_stubs.S and super_stubs.cpp. */
#pragma once

#define VYR_SUPER_STUB_COUNT 256
#define VYR_SUPER_STUB_SIZE 16 /* bytes; each stub is aligned to it */
