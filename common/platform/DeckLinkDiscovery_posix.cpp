#include "common/platform/DeckLinkDiscovery.h"

#include <cstdlib>
#include <dlfcn.h>

#include "common/platform/DeckLinkInput.h"
#include "common/platform/DeckLinkInterfaces_posix.h"

namespace tiloran {

namespace {

using namespace decklink;

constexpr const char *kDriverLibrary = "libDeckLinkAPI.so";
constexpr const char *kIteratorFactory = "CreateDeckLinkIteratorInstance_0004";

std::string readDeckLinkDisplayName(DriverObject *device)
{
	const char *name = nullptr;
	if (methodsOf<DeviceMethods>(device).getDisplayName(device, &name) != kOk || !name)
		return "Unknown";
	std::string text(name);
	std::free(const_cast<char *>(name));
	return text;
}

// What the device's attributes say: its number and its audio channels.
void readAttributes(DriverObject *device, DeckLinkCaptureDevice &found)
{
	const DriverReference attributes = queryFirst(device, kAttributesIds);
	if (!attributes)
		return;
	const AttributesMethods &methods = methodsOf<AttributesMethods>(attributes.get());
	std::int64_t value = 0;
	if (methods.getInt(attributes.get(), kPersistentIdAttribute, &value) == kOk)
		found.persistentId = value;
	else if (methods.getInt(attributes.get(), kTopologicalIdAttribute, &value) == kOk)
		found.persistentId = value;
	if (methods.getInt(attributes.get(), kMaximumAudioChannelsAttribute, &value) == kOk)
		found.maximumAudioChannels = value;
}

} // namespace

// The driver's library is loaded and never unloaded: its runtime may keep
// threads and state of its own beyond the objects handed out, as the driver's
// own loader assumes. Loading it again later only counts one more reference.
struct DeckLinkDiscovery::State {
	DriverReference iterator;

	// Walks the devices; visit sees each capture-capable one with its capture
	// input and returns false to end the walk.
	template<typename Visit>
	void walk(Visit visit)
	{
		if (!iterator)
			return;
		DriverObject *devices = iterator.get();
		for (std::size_t index = 0;; ++index) {
			DriverObject *next = nullptr;
			if (methodsOf<IteratorMethods>(devices).next(devices, &next) != kOk || !next)
				break;
			const DriverReference device(next);

			std::size_t interfaceIndex = 0;
			DriverReference input = queryFirst(device.get(), kCaptureInputIds, &interfaceIndex);
			if (!input)
				continue;
			DeckLinkCaptureDevice found;
			found.displayName = readDeckLinkDisplayName(device.get());
			found.enumerationIndex = index;
			readAttributes(device.get(), found);
			if (!visit(std::move(found), std::move(input), interfaceIndex))
				break;
		}
	}
};

DeckLinkDiscovery::DeckLinkDiscovery() : state_(std::make_unique<State>())
{
	void *library = dlopen(driverLocation().c_str(), RTLD_NOW | RTLD_LOCAL);
	if (!library)
		return;

	using IteratorFactory = DriverObject *(*)();
	void *symbol = dlsym(library, kIteratorFactory);
	if (!symbol)
		return;
	state_->iterator.reset(reinterpret_cast<IteratorFactory>(symbol)());
}

DeckLinkDiscovery::~DeckLinkDiscovery() = default;

std::string DeckLinkDiscovery::driverLocation()
{
	const char *configured = std::getenv("TILORAN_DECKLINK_LIBRARY");
	return configured ? configured : kDriverLibrary;
}

bool DeckLinkDiscovery::isAvailable() const
{
	return static_cast<bool>(state_->iterator);
}

std::vector<DeckLinkCaptureDevice> DeckLinkDiscovery::listCaptureDevices()
{
	std::vector<DeckLinkCaptureDevice> devices;
	// The capture input is released at once: it only tells that the device
	// can capture.
	state_->walk([&](DeckLinkCaptureDevice device, DriverReference, std::size_t) {
		devices.push_back(std::move(device));
		return true;
	});
	return devices;
}

std::unique_ptr<DeckLinkInput> DeckLinkDiscovery::openCaptureInput(const std::string &deviceId, std::string &message)
{
	if (!state_->iterator) {
		message = "DeckLink SDK runtime is not available";
		return nullptr;
	}
	std::unique_ptr<DeckLinkInput> opened;
	state_->walk([&](DeckLinkCaptureDevice device, DriverReference input, std::size_t interfaceIndex) {
		if (deckLinkDeviceId(device) != deviceId)
			return true;
		opened = makeDeckLinkInput(std::move(input), interfaceIndex, std::move(device.displayName),
					   device.maximumAudioChannels);
		return false;
	});
	if (!opened)
		message = "No DeckLink capture device has the id '" + deviceId + "'";
	return opened;
}

} // namespace tiloran
