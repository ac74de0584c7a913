// The engine tests over the SCSI-encoded virtual bridge: 512-byte transfer unit.
#include "test_engine.cpp"
