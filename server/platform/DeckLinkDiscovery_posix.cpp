#include "platform/DeckLinkDiscovery.h"

#include <cstdlib>
#include <dlfcn.h>

namespace tiloran {

// The driver's interfaces as its Linux runtime lays them out: C++ objects whose
// table of virtual methods starts with QueryInterface, AddRef and Release;
// interface ids passed by value as 16 bytes in the order they are written;
// strings handed out as malloc'ed UTF-8. Only the methods that discovery calls
// are declared, at the driver's positions; callers test results for success
// only, as the failure codes differ from Windows. The declarations have
// external linkage on purpose: in an unnamed namespace the compiler would see
// no implementation of them and could turn the calls into calls of pure
// virtual methods.
namespace driver {

using HResult = std::int32_t;
using ReferenceCount = std::uint32_t;

struct InterfaceId {
	unsigned char bytes[16];
};

class DriverUnknown
{
public:
	virtual HResult QueryInterface(InterfaceId id, void **object) = 0;
	virtual ReferenceCount AddRef() = 0;
	virtual ReferenceCount Release() = 0;

protected:
	~DriverUnknown() = default;
};

class DriverDevice : public DriverUnknown
{
public:
	virtual HResult GetModelName(const char **name) = 0;
	virtual HResult GetDisplayName(const char **name) = 0;

protected:
	~DriverDevice() = default;
};

class DriverIterator : public DriverUnknown
{
public:
	virtual HResult Next(DriverDevice **device) = 0;

protected:
	~DriverIterator() = default;
};

class DriverAttributes : public DriverUnknown
{
public:
	virtual HResult GetFlag(std::uint32_t attribute, bool *value) = 0;
	virtual HResult GetInt(std::uint32_t attribute, std::int64_t *value) = 0;

protected:
	~DriverAttributes() = default;
};

} // namespace driver

namespace {

using namespace driver;

constexpr HResult kOk = 0;

// The capture-input interface of the current driver, then those of earlier
// driver versions.
constexpr InterfaceId kCaptureInputIds[] = {
	// {6A515F8A-FBCE-4853-B0F7-2A09DB1ECA0B}
	{ { 0x6A, 0x51, 0x5F, 0x8A, 0xFB, 0xCE, 0x48, 0x53, 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } },
	// {4095DB82-E294-4B8C-AAA8-3B9E80C49336}
	{ { 0x40, 0x95, 0xDB, 0x82, 0xE2, 0x94, 0x4B, 0x8C, 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } },
	// {C21CDB6E-F414-46E4-A636-80A566E0ED37}
	{ { 0xC2, 0x1C, 0xDB, 0x6E, 0xF4, 0x14, 0x46, 0xE4, 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } },
};

// The attributes interface, current and earlier.
constexpr InterfaceId kAttributesIds[] = {
	// {F47551D7-AD22-47AF-BCFD-6BE88AA879D9}
	{ { 0xF4, 0x75, 0x51, 0xD7, 0xAD, 0x22, 0x47, 0xAF, 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } },
	// {17D4BF8E-4911-473A-80A0-731CF6FF345B}
	{ { 0x17, 0xD4, 0xBF, 0x8E, 0x49, 0x11, 0x47, 0x3A, 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } },
};

constexpr std::uint32_t kPersistentIdAttribute = 0x70656964; // 'peid'
constexpr std::uint32_t kTopologicalIdAttribute = 0x746F6964; // 'toid'

constexpr const char *kDriverLibrary = "libDeckLinkAPI.so";
constexpr const char *kIteratorFactory = "CreateDeckLinkIteratorInstance_0004";

// Holds one reference to a driver object.
template<typename Interface>
class DriverReference
{
public:
	DriverReference() = default;
	explicit DriverReference(Interface *object) : object_(object) {}
	~DriverReference()
	{
		if (object_)
			object_->Release();
	}
	DriverReference(const DriverReference &) = delete;
	DriverReference &operator=(const DriverReference &) = delete;

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

template<typename Interface, std::size_t count>
DriverReference<Interface> queryFirst(DriverDevice &device, const InterfaceId (&ids)[count])
{
	for (const InterfaceId &id : ids) {
		void *object = nullptr;
		if (device.QueryInterface(id, &object) == kOk && object)
			return DriverReference<Interface>(static_cast<Interface *>(object));
	}
	return DriverReference<Interface>();
}

std::string readDeckLinkDisplayName(DriverDevice &device)
{
	const char *name = nullptr;
	if (device.GetDisplayName(&name) != kOk || !name)
		return "Unknown";
	std::string text(name);
	std::free(const_cast<char *>(name));
	return text;
}

std::optional<std::int64_t> readDeviceNumber(DriverDevice &device)
{
	DriverReference<DriverAttributes> attributes = queryFirst<DriverAttributes>(device, kAttributesIds);
	if (!attributes)
		return std::nullopt;
	std::int64_t value = 0;
	if (attributes->GetInt(kPersistentIdAttribute, &value) == kOk)
		return value;
	if (attributes->GetInt(kTopologicalIdAttribute, &value) == kOk)
		return value;
	return std::nullopt;
}

} // namespace

// The driver's library is loaded and never unloaded: its runtime may keep
// threads and state of its own beyond the objects handed out, as the driver's
// own loader assumes. Loading it again later only counts one more reference.
struct DeckLinkDiscovery::State {
	DriverReference<DriverIterator> iterator;
};

DeckLinkDiscovery::DeckLinkDiscovery()
{
	state_ = std::make_unique<State>();
	const char *configured = std::getenv("TILORAN_DECKLINK_LIBRARY");
	void *library = dlopen(configured ? configured : kDriverLibrary, RTLD_NOW | RTLD_LOCAL);
	if (!library)
		return;

	using IteratorFactory = DriverIterator *(*)();
	void *symbol = dlsym(library, kIteratorFactory);
	if (!symbol)
		return;
	state_->iterator.reset(reinterpret_cast<IteratorFactory>(symbol)());
}

DeckLinkDiscovery::~DeckLinkDiscovery() = default;

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
		if (state_->iterator->Next(&next) != kOk || !next)
			break;
		DriverReference<DriverDevice> device(next);

		if (!queryFirst<DriverUnknown>(*device.get(), kCaptureInputIds))
			continue;
		std::string name = readDeckLinkDisplayName(*device.get());
		devices.push_back({ std::move(name), readDeviceNumber(*device.get()), index });
	}
	return devices;
}

} // namespace tiloran
