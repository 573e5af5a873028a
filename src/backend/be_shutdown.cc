// be_shutdown.cc - PEXAPI_Shutdown: asks the container to end itself.
//
// The stop request goes through the ordinary remote call, so a container
// that is down is first started and then told to stop: the agent gets the
// same answer from a shutdown whatever state it finds.
#include <stdio.h>
#include <string.h>

#include <exception>

#include "be_remoting.h"
#include "be_requests.h"
#include "os_diag.h"
#include "pexapi.h"

namespace {
const char kStopAction[] = "ContainerStop";
}  // namespace

extern "C" PEXRC PEXAPI_Shutdown(void) {
  try {
    HessianRemoteAccessor accessor(BE_REMOTE_PORT, BE_REMOTE_METHOD, BE_REMOTE_SERVER,
                                   BE_REMOTE_PATH);
    PEXObjectAction action;
    snprintf(action, sizeof action, "%s", kStopAction);
    PEXAttrList attributes;
    memset(&attributes, 0, sizeof attributes);
    // The reason of a failure reaches the log through the error-set trace;
    // the agent only sees the code.
    PEXError error;
    memset(&error, 0, sizeof error);

    DIAG_TRACE(3, "PEXAPI_Shutdown");

    GenericRequest request(action, &attributes);
    char *xml = request.toXml(true);
    if (xml == nullptr) {
      DIAG_ERROR("PEXAPI_Shutdown: %s", request.refusal());
      return PEX_FAIL;
    }
    PEXRC rc = accessor.call(xml, &error);
    RequestGeneratorInterface::freeXmlBuffer(xml);
    accessor.deleteResponse();
    return rc;
  } catch (const std::exception &e) {
    DIAG_ERROR("PEXAPI_Shutdown: %s", e.what());
  } catch (...) {
    DIAG_ERROR("PEXAPI_Shutdown: unknown exception");
  }
  return PEX_FAIL;
}
