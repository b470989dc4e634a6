// The certificate paths of the encode and decode jobs: the pipeline layer
// below names what it needs of the PKI toolkit as tables of functions, and
// this module fills them when the SDK starts.
#pragma once

// Fills the jobs' tables; called once by SDK start-up.
void qelPKIJobSeamsInstall();
