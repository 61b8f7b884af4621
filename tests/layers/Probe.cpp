// Compiled only by the layer checks: includes the one header it is told to.
#include KP_PROBE_HEADER
