// The resource of Updater.exe that carries the publisher's public key (PEM
// text, type RCDATA) in keyed builds; LoadUpdateKey looks it up by this
// name.
#pragma once

#define IDR_UPDATE_PUBLIC_KEY 300
