#pragma once

#include "WebFiles.h"

// The chat page of web/, as the build embedded it, with the security policy of its
// index.html (and frame-ancestors 'none').
const hNet::WebSite& ChatPage();
