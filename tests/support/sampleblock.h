// The sample deployment block's entries, as cvstamp writes them for the sample values (the same
// as cvtest.SAMPLE), shared by the native and the Windows tests. The marker that opens a block is not here:
// each test puts it together from pieces, so that no test program carries it whole.
#pragma once

namespace sampleblock {

inline const char* const ENTRIES = "ADDED_SERVERPARAMETER_PROTOCOL<https>"
                                   "ADDED_SERVERPARAMETER_HOST<callvane.vazu.example.de>"
                                   "ADDED_SERVERPARAMETER_PORT<8443>"
                                   "ADDED_SERVERPARAMETER_PORTAL</vazu/portal/req?loadPortal>"
                                   "ADDED_SERVERPARAMETER_CLIENT</vazu/portal/req?loadPortal>"
                                   "ADDED_SERVERPARAMETER_EVENTS</vazu/webportlets/portal/eventViewer>"
                                   "ADDED_SERVERPARAMETER_PRODUCT<Brightel RudEvuvor>"
                                   "ADDED_SERVERPARAMETER_LOGLEVEL<3>\r\n";

} // namespace sampleblock
