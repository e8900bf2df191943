// The maker's identity: the single definition used by the usage text and the
// version resource. Plain string literals so the resource compiler reads it too.
#pragma once

#define PACECAP_MAKER_NAME "The Pacecap Project"
#define PACECAP_MAKER_WEB "https://pacecap.example"
#define PACECAP_COPYRIGHT "Copyright (C) 2026 The Pacecap Project"
