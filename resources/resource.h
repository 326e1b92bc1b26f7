// Resource identifiers of Updater.exe.
#pragma once

#define IDR_APP_MANIFEST 1
#define VS_VERSION_INFO_ID 1
#include "engine_resource.h"
#include "ui_resource.h"
