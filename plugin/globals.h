#pragma once

class S_Manager;

// The one registry, from Load to Unload.
extern S_Manager* g_manager;
