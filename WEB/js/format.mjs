// Texts for people: times, durations, ages, levels, lists. Pure: no page, no clock.

export function isNumber(value) {
	return typeof value === 'number' && Number.isFinite(value);
}

// hh:mm:ss in the browser's time zone.
export function timeOfDay(date) {
	return date.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false });
}

// h:mm:ss
export function durationText(seconds) {
	const whole = Math.floor(seconds);
	const hours = Math.floor(whole / 3600);
	const minutes = Math.floor((whole % 3600) / 60);
	const rest = whole % 60;
	const two = (number) => String(number).padStart(2, '0');
	return `${hours}:${two(minutes)}:${two(rest)}`;
}

// How old a figure is: "3 s old", "12 min old", "2 h old".
export function ageText(milliseconds) {
	const seconds = Math.max(0, Math.floor(milliseconds / 1000));
	if (seconds < 120)
		return `${seconds} s old`;
	if (seconds < 2 * 3600)
		return `${Math.floor(seconds / 60)} min old`;
	return `${Math.floor(seconds / 3600)} h old`;
}

// What the level meter shows as silence: the worker's reading of a silent second.
const SILENCE_DBFS = -120;

export function decibelText(value) {
	if (!isNumber(value))
		return '—';
	if (value <= SILENCE_DBFS)
		return 'silence';
	return value.toFixed(1).replace('-', '−');
}

// "a", "a and b", "a, b and c"
export function joinWords(words) {
	return words.length <= 1 ? words.join('') : `${words.slice(0, -1).join(', ')} and ${words.at(-1)}`;
}

// "Name (version)" into its two parts.
export function splitTitle(title) {
	const match = /^(.*?)\s*\(([^()]*)\)\s*$/.exec(title);
	return match ? { name: match[1], version: match[2] } : { name: title, version: '' };
}

// ---- Names the page's texts share ------------------------------------------

// A receiver's host:port without its port; an IPv6 address keeps its brackets.
export function hostOf(peer) {
	const bracketed = /^(\[[^\]]*\])(:\d+)?$/.exec(peer);
	if (bracketed)
		return bracketed[1];
	return peer.replace(/:\d+$/, '');
}

export const PRODUCT = 'TILORAN';
// The example receiver in the page's advice: an address from the documentation range.
export const EXAMPLE_DESTINATION = '203.0.113.10:9000';
// The encoder that works on every machine.
export const SOFTWARE_CODEC = 'libx264';
// SRT's handshake carries the latency in 16 bits: libsrt takes a larger
// SRTO_LATENCY without complaint and sends its low 16 bits (99999 ms goes
// out as 34463 ms, 65536 as 0).
export const SRT_LATENCY_MAX_MS = 65535;

// A file's size for people: "812 KB", "1.4 GB".
export function sizeText(bytes) {
	const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
	let value = bytes;
	let unit = 0;
	while (value >= 1000 && unit < units.length - 1) {
		value /= 1000;
		unit++;
	}
	return unit === 0 ? `${value} bytes` : `${value < 10 ? value.toFixed(1) : Math.round(value)} ${units[unit]}`;
}
