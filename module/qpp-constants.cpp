// The event values as module attributes, so that scripts can compare with
// qpp.EVENT_FLOW_DPI_COMPLETE instead of 4. They are plain ints: a script
// that keeps writing the numbers sees no change.

#include "qpp-module.h"
#include "quivend.h"

namespace {

struct qppEventConstant
{
    const char *name;
    long value;
};

// The values that reach scripts: those of the host's processor events that
// are passed to a callback, and the plugin's own unload notice. Interfaces
// and packet statistics (8 to 10) never reach a script and have no name.
const qppEventConstant qpp_event_constants[] = {
    {"EVENT_FLOW_MAP", qdPluginProcessor::EVENT_FLOW_MAP},
    {"EVENT_FLOW_NEW", qdPluginProcessor::EVENT_FLOW_NEW},
    {"EVENT_FLOW_UPDATED", qdPluginProcessor::EVENT_FLOW_UPDATED},
    {"EVENT_FLOW_DPI_COMPLETE", qdPluginProcessor::EVENT_FLOW_DPI_COMPLETE},
    {"EVENT_FLOW_DPI_UPDATE", qdPluginProcessor::EVENT_FLOW_DPI_UPDATE},
    {"EVENT_FLOW_EXPIRING", qdPluginProcessor::EVENT_FLOW_EXPIRING},
    {"EVENT_FLOW_EXPIRED", qdPluginProcessor::EVENT_FLOW_EXPIRED},
    {"EVENT_UPDATE_INIT", qdPluginProcessor::EVENT_UPDATE_INIT},
    {"EVENT_UPDATE_COMPLETE", qdPluginProcessor::EVENT_UPDATE_COMPLETE},
    {"EVENT_UNLOAD", qppEventUnload},
};

}  // namespace

int qppModuleAddConstants(PyObject *module)
{
    for (const qppEventConstant &constant : qpp_event_constants) {
        if (PyModule_AddIntConstant(module, constant.name, constant.value) < 0)
            return -1;
    }
    return 0;
}
