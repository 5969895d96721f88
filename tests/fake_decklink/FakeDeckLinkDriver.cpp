// A stand-in for the capture-card driver's Linux runtime library, so that the
// server's real discovery code runs in tests. Its objects are laid out by hand
// the way the driver's are: a pointer to a table of methods, QueryInterface,
// AddRef and Release first, the object passed as the first argument, interface
// ids passed by value as 16 bytes.
//
// The devices come from the environment variable TILORAN_FAKE_DECKLINK_DEVICES:
// devices separated by ";", each a list of ","-separated settings:
//   name=TEXT        display name (default "Fake DeckLink")
//   name-fails       the display-name call fails
//   name-null        the display-name call succeeds without a name
//   peid=N, toid=N   persistent and topological id (default: the read fails)
//   no-capture       no capture-input interface
//   capture=older1   the capture input answers only to the first earlier id
//   capture=older2   ... only to the second earlier id
//   attributes=older the attributes answer only to the earlier id
//   attributes=none  no attributes interface
// Unset, the factory hands out no iterator; empty, an iterator without devices.
//
// FakeDeckLinkReport() returns, per object handed out by the last iterator,
// its outstanding references and (for devices) the calls made on it in order.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using HResult = std::int32_t;
constexpr HResult kOk = 0;
constexpr HResult kFalse = 1;
constexpr HResult kFail = static_cast<HResult>(0x80004005u);
constexpr HResult kNoInterface = static_cast<HResult>(0x80004002u);

struct InterfaceId {
	unsigned char bytes[16];
};

constexpr InterfaceId kCaptureInput = { { 0x6A, 0x51, 0x5F, 0x8A, 0xFB, 0xCE, 0x48, 0x53, 0xB0, 0xF7, 0x2A, 0x09, 0xDB, 0x1E, 0xCA, 0x0B } };
constexpr InterfaceId kCaptureInputOlder1 = { { 0x40, 0x95, 0xDB, 0x82, 0xE2, 0x94, 0x4B, 0x8C, 0xAA, 0xA8, 0x3B, 0x9E, 0x80, 0xC4, 0x93, 0x36 } };
constexpr InterfaceId kCaptureInputOlder2 = { { 0xC2, 0x1C, 0xDB, 0x6E, 0xF4, 0x14, 0x46, 0xE4, 0xA6, 0x36, 0x80, 0xA5, 0x66, 0xE0, 0xED, 0x37 } };
constexpr InterfaceId kAttributes = { { 0xF4, 0x75, 0x51, 0xD7, 0xAD, 0x22, 0x47, 0xAF, 0xBC, 0xFD, 0x6B, 0xE8, 0x8A, 0xA8, 0x79, 0xD9 } };
constexpr InterfaceId kAttributesOlder = { { 0x17, 0xD4, 0xBF, 0x8E, 0x49, 0x11, 0x47, 0x3A, 0x80, 0xA0, 0x73, 0x1C, 0xF6, 0xFF, 0x34, 0x5B } };

constexpr std::uint32_t kPersistentId = 0x70656964;
constexpr std::uint32_t kTopologicalId = 0x746F6964;

bool operator==(const InterfaceId &left, const InterfaceId &right)
{
	return std::memcmp(left.bytes, right.bytes, sizeof(left.bytes)) == 0;
}

struct Object;

struct UnknownMethods {
	HResult (*queryInterface)(Object *self, InterfaceId id, void **object);
	std::uint32_t (*addRef)(Object *self);
	std::uint32_t (*release)(Object *self);
};

struct IteratorMethods {
	UnknownMethods unknown;
	HResult (*next)(Object *self, Object **device);
};

struct DeviceMethods {
	UnknownMethods unknown;
	HResult (*getModelName)(Object *self, const char **name);
	HResult (*getDisplayName)(Object *self, const char **name);
};

struct AttributesMethods {
	UnknownMethods unknown;
	HResult (*getFlag)(Object *self, std::uint32_t attribute, bool *value);
	HResult (*getInt)(Object *self, std::uint32_t attribute, std::int64_t *value);
};

struct DeviceSettings {
	std::string name = "Fake DeckLink";
	bool nameFails = false;
	bool nameNull = false;
	std::optional<std::int64_t> persistentId;
	std::optional<std::int64_t> topologicalId;
	std::string capture = "current";
	std::string attributes = "current";
};

// Every object starts with its method table, as the driver's do.
struct Object {
	const void *methods;
	std::string label;
	long references = 1;
	DeviceSettings *settings = nullptr;
	// The device that handed out this interface; calls are logged there.
	Object *device = nullptr;
	std::vector<std::string> calls;
};

struct Driver {
	std::vector<DeviceSettings> settings;
	std::vector<std::unique_ptr<Object>> objects;
	std::size_t nextDevice = 0;
	std::string report;
};

Driver &driver()
{
	static Driver instance;
	return instance;
}

std::uint32_t addRef(Object *self)
{
	return static_cast<std::uint32_t>(++self->references);
}

std::uint32_t release(Object *self)
{
	// Objects stay allocated, so that a release too many shows in the report.
	--self->references;
	return self->references < 0 ? 0 : static_cast<std::uint32_t>(self->references);
}

HResult noInterface(Object *, InterfaceId, void **object)
{
	*object = nullptr;
	return kNoInterface;
}

Object *newObject(const void *methods, std::string label, DeviceSettings *settings, Object *device = nullptr)
{
	driver().objects.push_back(std::make_unique<Object>());
	Object *object = driver().objects.back().get();
	object->methods = methods;
	object->label = std::move(label);
	object->settings = settings;
	object->device = device;
	return object;
}

HResult getFlag(Object *, std::uint32_t, bool *value)
{
	*value = false;
	return kFail;
}

HResult getInt(Object *self, std::uint32_t attribute, std::int64_t *value)
{
	std::optional<std::int64_t> id;
	if (attribute == kPersistentId) {
		self->device->calls.push_back("peid");
		id = self->settings->persistentId;
	} else if (attribute == kTopologicalId) {
		self->device->calls.push_back("toid");
		id = self->settings->topologicalId;
	} else {
		self->device->calls.push_back("other");
	}
	if (!id)
		return kFail;
	*value = *id;
	return kOk;
}

const AttributesMethods kAttributesMethods = { { noInterface, addRef, release }, getFlag, getInt };
const UnknownMethods kInputMethods = { noInterface, addRef, release };

HResult deviceQueryInterface(Object *self, InterfaceId id, void **object)
{
	*object = nullptr;
	const DeviceSettings &settings = *self->settings;
	const char *call = "other";
	bool answered = false;
	bool attributes = false;
	if (id == kCaptureInput) {
		call = "input";
		answered = settings.capture == "current";
	} else if (id == kCaptureInputOlder1) {
		call = "input-older1";
		answered = settings.capture == "older1";
	} else if (id == kCaptureInputOlder2) {
		call = "input-older2";
		answered = settings.capture == "older2";
	} else if (id == kAttributes) {
		call = "attributes";
		answered = attributes = settings.attributes == "current";
	} else if (id == kAttributesOlder) {
		call = "attributes-older";
		answered = attributes = settings.attributes == "older";
	}
	self->calls.push_back(call);
	if (!answered)
		return kNoInterface;

	*object = attributes ? newObject(&kAttributesMethods, self->label + ".attributes", self->settings, self) :
			       newObject(&kInputMethods, self->label + ".input", self->settings, self);
	return kOk;
}

HResult getModelName(Object *self, const char **name)
{
	self->calls.push_back("model");
	*name = strdup("Fake DeckLink Model");
	return kOk;
}

HResult getDisplayName(Object *self, const char **name)
{
	self->calls.push_back("name");
	*name = nullptr;
	if (self->settings->nameFails)
		return kFail;
	if (!self->settings->nameNull)
		*name = strdup(self->settings->name.c_str());
	return kOk;
}

const DeviceMethods kDeviceMethods = { { deviceQueryInterface, addRef, release }, getModelName, getDisplayName };

HResult next(Object *, Object **device)
{
	Driver &state = driver();
	*device = nullptr;
	if (state.nextDevice >= state.settings.size())
		return kFalse;
	const std::size_t index = state.nextDevice++;
	*device = newObject(&kDeviceMethods, "device" + std::to_string(index), &state.settings[index]);
	return kOk;
}

const IteratorMethods kIteratorMethods = { { noInterface, addRef, release }, next };

std::vector<std::string_view> split(std::string_view text, char separator)
{
	std::vector<std::string_view> parts;
	while (true) {
		const std::size_t end = text.find(separator);
		parts.push_back(text.substr(0, end));
		if (end == std::string_view::npos)
			return parts;
		text.remove_prefix(end + 1);
	}
}

DeviceSettings parseDevice(std::string_view text)
{
	DeviceSettings settings;
	for (std::string_view setting : split(text, ',')) {
		const std::size_t equals = setting.find('=');
		const std::string_view key = setting.substr(0, equals);
		const std::string value(equals == std::string_view::npos ? std::string_view() : setting.substr(equals + 1));
		if (key == "name")
			settings.name = value;
		else if (key == "name-fails")
			settings.nameFails = true;
		else if (key == "name-null")
			settings.nameNull = true;
		else if (key == "peid")
			settings.persistentId = std::stoll(value);
		else if (key == "toid")
			settings.topologicalId = std::stoll(value);
		else if (key == "no-capture")
			settings.capture = "none";
		else if (key == "capture")
			settings.capture = value;
		else if (key == "attributes")
			settings.attributes = value;
	}
	return settings;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void *CreateDeckLinkIteratorInstance_0004()
{
	Driver &state = driver();
	state.objects.clear();
	state.settings.clear();
	state.nextDevice = 0;

	const char *devices = std::getenv("TILORAN_FAKE_DECKLINK_DEVICES");
	if (!devices)
		return nullptr;
	if (*devices) {
		for (std::string_view device : split(devices, ';'))
			state.settings.push_back(parseDevice(device));
	}
	return newObject(&kIteratorMethods, "iterator", nullptr);
}

extern "C" __attribute__((visibility("default"))) const char *FakeDeckLinkReport()
{
	Driver &state = driver();
	state.report.clear();
	for (const std::unique_ptr<Object> &object : state.objects) {
		state.report += object->label + " references=" + std::to_string(object->references);
		if (!object->calls.empty()) {
			state.report += " calls=";
			for (std::size_t index = 0; index < object->calls.size(); ++index)
				state.report += (index ? "," : "") + object->calls[index];
		}
		state.report += "\n";
	}
	return state.report.c_str();
}
