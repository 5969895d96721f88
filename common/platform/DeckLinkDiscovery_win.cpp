#include "common/platform/DeckLinkDiscovery.h"

#include "common/platform/DeckLinkInput.h"
#include "common/platform/DeckLinkInterfaces_win.h"

namespace tiloran {

namespace {

using namespace driver;

// Undoes this thread's COM initialisation, when it made it.
class ComInitialisation
{
public:
	ComInitialisation() = default;
	~ComInitialisation() { release(); }
	ComInitialisation(const ComInitialisation &) = delete;
	ComInitialisation &operator=(const ComInitialisation &) = delete;

	void own() { owned_ = true; }

	void release()
	{
		if (owned_)
			CoUninitialize();
		owned_ = false;
	}

private:
	bool owned_ = false;
};

std::string readDeckLinkDisplayName(DriverDevice &device)
{
	BSTR name = nullptr;
	if (device.GetDisplayName(&name) != S_OK || !name)
		return "Unknown";

	std::string text;
	const int size = WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
	if (size > 1) {
		text.resize(static_cast<std::size_t>(size));
		WideCharToMultiByte(CP_UTF8, 0, name, -1, text.data(), size, nullptr, nullptr);
		text.resize(static_cast<std::size_t>(size) - 1);
	}
	SysFreeString(name);
	return text;
}

// What the device's attributes say: its number and its audio channels.
void readAttributes(DriverDevice &device, DeckLinkCaptureDevice &found)
{
	ComReference<DriverAttributes> attributes = queryFirst<DriverAttributes>(device, kAttributesIds);
	if (!attributes)
		return;
	LONGLONG value = 0;
	if (attributes->GetInt(kPersistentIdAttribute, &value) == S_OK)
		found.persistentId = static_cast<std::int64_t>(value);
	else if (attributes->GetInt(kTopologicalIdAttribute, &value) == S_OK)
		found.persistentId = static_cast<std::int64_t>(value);
	if (attributes->GetInt(kMaximumAudioChannelsAttribute, &value) == S_OK)
		found.maximumAudioChannels = static_cast<std::int64_t>(value);
}

} // namespace

// The iterator is declared after the COM initialisation so that it is
// released before COM is uninitialised.
struct DeckLinkDiscovery::State {
	ComInitialisation com;
	ComReference<DriverIterator> iterator;

	// Walks the devices; visit sees each capture-capable one with its capture
	// input and returns false to end the walk.
	template<typename Visit>
	void walk(Visit visit)
	{
		if (!iterator)
			return;
		for (std::size_t index = 0;; ++index) {
			DriverDevice *next = nullptr;
			if (iterator->Next(&next) != S_OK || !next)
				break;
			ComReference<DriverDevice> device(next);

			std::size_t interfaceIndex = 0;
			ComReference<DriverInput> input = queryFirst<DriverInput>(*device.get(), kCaptureInputIds, &interfaceIndex);
			if (!input)
				continue;
			DeckLinkCaptureDevice found;
			found.displayName = readDeckLinkDisplayName(*device.get());
			found.enumerationIndex = index;
			readAttributes(*device.get(), found);
			if (!visit(std::move(found), std::move(input), interfaceIndex))
				break;
		}
	}
};

DeckLinkDiscovery::DeckLinkDiscovery() : state_(std::make_unique<State>())
{
	// Another part of the process may have initialised COM on this thread
	// already, possibly single-threaded; it stays usable and is not undone here.
	const HRESULT initialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
	if (initialised == S_OK)
		state_->com.own();
	else if (initialised != S_FALSE && initialised != RPC_E_CHANGED_MODE)
		return;

	void *iterator = nullptr;
	if (FAILED(CoCreateInstance(kIteratorClass, nullptr, CLSCTX_ALL, kIteratorInterface, &iterator)) || !iterator) {
		state_->com.release();
		return;
	}
	state_->iterator.reset(static_cast<DriverIterator *>(iterator));
}

DeckLinkDiscovery::~DeckLinkDiscovery() = default;

std::string DeckLinkDiscovery::driverLocation()
{
	return "the COM class {BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676} of the driver";
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
	state_->walk([&](DeckLinkCaptureDevice device, ComReference<DriverInput>, std::size_t) {
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
	state_->walk([&](DeckLinkCaptureDevice device, ComReference<DriverInput> input, std::size_t interfaceIndex) {
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
