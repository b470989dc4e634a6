// The key layer's part of what the foundation reaches through its seams.
#pragma once

// Installs the key layer's table; run by SDK start-up.
void qelKeysSeamsInstall();
