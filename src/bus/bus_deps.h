// The box client records the engine is built on: events, playlists, media lists, box state.
#pragma once

#include "mivrabox_event.h"
#include "mivrabox_lib.h"
#include "mivrabox_ply.h"
#include "mivrabox_state.h"
