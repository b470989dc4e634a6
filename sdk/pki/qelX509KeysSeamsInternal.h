// What the certificate toolkit lends the key import and export below it.
#pragma once

// Fills the key import and export's table; SDK start-up calls it.
void qelX509KeysSeamsInstall();
