// The resource of Updater.exe that carries the publisher's public key (PEM
// text, type RCDATA) in keyed builds. The updater looks it up by this number
// (kUpdateKeyResourceId in src/manifest/update_trust.h).
#pragma once

#define IDR_UPDATE_PUBLIC_KEY 300
