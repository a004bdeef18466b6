#pragma once
// Library start-up of velkansvc: the socket layer is started once when the library is loaded and
// cleaned up once when it is unloaded (after the host has destroyed its CTunnelArray).
// Thread safety: runs during library load and unload only.

// True when the load hook started the socket layer (false: the library must not be used; the
// reason "socket init failed" was written to stderr).
bool VelkanSvcSocketsReady();
