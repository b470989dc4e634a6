// The crypto layer's part of what the foundation reaches through its seams.
#pragma once

// Installs the crypto layer's table; run by SDK start-up.
void qelCryptoSeamsInstall();
