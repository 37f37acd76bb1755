// Installs the subsystems into the core's hook points. Called first thing in
// WinMain, before the core starts, and nowhere else.
#pragma once

void InstallAgentHooks();
