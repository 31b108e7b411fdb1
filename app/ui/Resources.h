#pragma once

// Registers the embedded pages and images (icon, logo, user's guide). The widget library is static,
// so the linker would otherwise leave them out; safe to call more than once.
void initAmpwardenResources();
