// A module that calls the routines beyond the host's own (processes and threads, resources,
// IRPs, data exports, executable pool, strings) loads under the host and finds each as on
// Windows; the host unloads it and the model's leak check sees nothing left.
#include <cstring>

#include "images/routines/routines_module.h"
#include "support/host_test.h"

namespace {

class RoutinesModuleTest : public HostTest {};

TEST_F(RoutinesModuleTest, EveryAreaWorksInAModuleTheHostLoaded)
{
    const std::u16string image = u"\\SystemRoot\\System32\\drivers\\routinesmodule.sys";
    const std::u16string service = u"routinesmodule";
    std::vector<uint8_t> block(LOAD_MODULE_REQUEST_BYTES, 0);
    LoadModuleRequest request = {};
    request.Header.Command = HostCommandLoadModule;
    request.Header.Argument = static_cast<uint32_t>(image.size() * sizeof(char16_t));
    std::memcpy(request.ImagePath, image.data(), image.size() * sizeof(char16_t));
    std::memcpy(request.ServiceName, service.data(), service.size() * sizeof(char16_t));
    request.ServiceNameLength = static_cast<uint16_t>((service.size() + 1) * sizeof(char16_t));
    std::memcpy(block.data(), &request, LOAD_MODULE_REQUEST_BYTES);
    ASSERT_EQ(ReplyStatus(KernelCommand(block)), STATUS_SUCCESS);

    PDEVICE_OBJECT device = km::FindDevice(u"\\Device\\routinesmodule");
    ASSERT_NE(device, nullptr);
    const auto* results = static_cast<const RoutinesModuleResults*>(device->DeviceExtension);
    for (LONG area = 0; area < RoutinesAreas; ++area) {
        EXPECT_EQ(results->Status[area], STATUS_SUCCESS) << "area " << area;
    }
    EXPECT_EQ(ReplyStatus(KernelCommand(CommandBlock(HostCommandUnloadModule))), STATUS_SUCCESS);
}

}  // namespace
