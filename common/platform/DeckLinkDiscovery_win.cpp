#include "common/platform/DeckLinkDiscovery.h"

#include <objbase.h>
#include <oleauto.h>
#include <windows.h>

namespace tiloran {

// The driver's COM interfaces, declared with only the methods that discovery
// calls, at the positions of the driver's method tables. The declarations have
// external linkage on purpose: in an unnamed namespace the compiler would see
// no implementation of them and could turn the calls into calls of pure
// virtual methods.
namespace driver {

struct DriverDevice : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetModelName(BSTR *name) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetDisplayName(BSTR *name) = 0;
};

struct DriverIterator : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE Next(DriverDevice **device) = 0;
};

struct DriverAttributes : public IUnknown {
	virtual HRESULT STDMETHODCALLTYPE GetFlag(ULONG attribute, BOOL *value) = 0;
	virtual HRESULT STDMETHODCALLTYPE GetInt(ULONG attribute, LONGLONG *value) = 0;
};

} // namespace driver

namespace {

using namespace driver;

// {BA6C6F44-6DA5-4DCE-94AA-EE2D1372A676}
constexpr GUID kIteratorClass = { 0xBA6C6F44, 0x6DA5, 0x4DCE, { 0x94, 0xAA, 0xEE, 0x2D, 0x13, 0x72, 0xA6, 0x76 } };
// {50FB36CD-3063-4B73-BDBB-958087F2D8BA}
constexpr GUID kIteratorInterface = { 0x50FB36CD, 0x3063, 0x4B73, { 0xBD, 0xBB, 0x95, 0x80, 0x87, 0xF2, 0xD8, 0xBA } };

// The capture-input interface of the current driver, then those of earlier
// driver versions.
constexpr GUID kCaptureInputIds[] = {
	// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
	{ 0x6A515F8A, 0xFBCE, 0x4853, { 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } },
	// {4095DB82-E294-4B8C-AAA8-3B9E80C49336}
	{ 0x4095DB82, 0xE294, 0x4B8C, { 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } },
	// {C21CDB6E-F414-46E4-A636-80A566E0ED37}
	{ 0xC21CDB6E, 0xF414, 0x46E4, { 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } },
};

// The attributes interface, current and earlier.
constexpr GUID kAttributesIds[] = {
	// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
	{ 0xF47551D7, 0xAD22, 0x47AF, { 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } },
	// {17D4BF8E-4911-473A-80A0-731CF6FF345B}
	{ 0x17D4BF8E, 0x4911, 0x473A, { 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } },
};

constexpr ULONG kPersistentIdAttribute = 0x70656964; // 'peid'
constexpr ULONG kTopologicalIdAttribute = 0x746F6964; // 'toid'
// The most embedded audio channels the device captures (an integer).
constexpr ULONG kMaximumAudioChannelsAttribute = 0x6D616368; // 'mach'

// Holds one reference to a COM object.
template<typename Interface>
class ComReference
{
public:
	ComReference() = default;
	explicit ComReference(Interface *object) : object_(object) {}
	~ComReference()
	{
		if (object_)
			object_->Release();
	}
	ComReference(const ComReference &) = delete;
	ComReference &operator=(const ComReference &) = delete;

	Interface *get() const { return object_; }
	Interface *operator->() const { return object_; }
	explicit operator bool() const { return object_ != nullptr; }

	void reset(Interface *object)
	{
		if (object_)
			object_->Release();
		object_ = object;
	}

private:
	Interface *object_ = nullptr;
};

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

template<typename Interface, std::size_t count>
ComReference<Interface> queryFirst(DriverDevice &device, const GUID (&ids)[count])
{
	for (const GUID &id : ids) {
		void *object = nullptr;
		if (device.QueryInterface(id, &object) == S_OK && object)
			return ComReference<Interface>(static_cast<Interface *>(object));
	}
	return ComReference<Interface>();
}

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
	if (!state_->iterator)
		return devices;

	for (std::size_t index = 0;; ++index) {
		DriverDevice *next = nullptr;
		if (state_->iterator->Next(&next) != S_OK || !next)
			break;
		ComReference<DriverDevice> device(next);

		if (!queryFirst<IUnknown>(*device.get(), kCaptureInputIds))
			continue;
		DeckLinkCaptureDevice found;
		found.displayName = readDeckLinkDisplayName(*device.get());
		found.enumerationIndex = index;
		readAttributes(*device.get(), found);
		devices.push_back(std::move(found));
	}
	return devices;
}

} // namespace tiloran
