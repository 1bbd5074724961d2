// Included by every fuzz target, once.
#pragma once

// The fuzz build links the shared sanitizer runtime (so that the library's
// own shared objects resolve it), and libFuzzer pulls libstdc++ in ahead of
// it. libstdc++ defines nothing that ASan intercepts, so the link order check
// is only noise here.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }
