// What the page shows, worked out from what it knows: the server's answers
// and the page's own facts in, the state, the buttons, the message, the
// figures (and how old they are), the meters and the inputs out. Pure: no
// page, no requests, no timers, no clock (the time comes in as `now`), so it
// runs in node as it runs in the browser. The renderers put the result on
// the page.
import { explainCode, explainEnd, reportContext } from './explain.mjs';
import { ageText, decibelText, durationText, hostOf, isNumber, PRODUCT, timeOfDay } from './format.mjs';

// The page asks for the statistics once a second; a figure that two such
// reads did not renew is old, and shown as such.
export const READ_INTERVAL_MS = 1000;
const OLD_AFTER_MS = 2 * READ_INTERVAL_MS;
// While a stream runs its link can go at any moment, and the worker gives a
// dead receiver up after about a second: reading four times a second shows
// that a quarter of a second later at most, not a whole one. The answer is
// small and made from what the server holds.
const RUNNING_READ_INTERVAL_MS = 250;

// How long the page waits before its next read, after the answer `stats`.
export function readIntervalMs(stats) {
	return isRunning(stats) ? RUNNING_READ_INTERVAL_MS : READ_INTERVAL_MS;
}
const SPARKLINE_SECONDS = 60;
const METER_FLOOR_DBFS = -60;
const LOG_LIMIT = 100;

export function isRunning(stats) {
	return stats !== null && stats.running === true;
}

// The number of the run an answer tells of, or null.
function runId(stats) {
	return stats && stats.run && typeof stats.run === 'object' && stats.run.id !== undefined ? stats.run.id : null;
}

// What a statistics answer changed against what the page knew: a run began
// (or was first seen), a run ended, or the server came back knowing of no run
// (it was restarted, and its worker ended with it). A run of another number
// than the one before ended that one and began anew, even if no answer in
// between said that it had stopped. before: the answer before (null while
// the server could not be asked); lastKnownRunning: whether the last answer
// the server gave at all said that a worker runs, so that a run that ended
// while the server could not be asked has ended all the same.
export function runTransition(before, stats, lastKnownRunning) {
	const replaced = isRunning(stats) && isRunning(before) && runId(stats) !== runId(before);
	const stopped = stats !== null && !stats.running && lastKnownRunning;
	return {
		began: isRunning(stats) && (!isRunning(before) || replaced),
		ended: stopped || replaced,
		serverRestarted: stopped && stats.state === 'idle',
	};
}

export const NO_TRANSITION = Object.freeze({ began: false, ended: false, serverRestarted: false });

// Whether the encoder listens for receivers that call it, rather than
// calling one.
function isListener(srt) {
	return Boolean(srt) && srt.mode === 'listener';
}

// A listener's receivers as the worker lists them (none for a caller).
function callersOf(srt) {
	return isListener(srt) && Array.isArray(srt.callers) ? srt.callers.filter((caller) => caller && typeof caller === 'object') : [];
}

// Whether the link is up: connected to the receiver, or listening for them.
function linkIsUp(srt) {
	return isListener(srt) ? srt.state === 'listening' : srt.state === 'connected';
}

// The sent bitrate in Mbit/s: what SRT sends while the link is up (to all of
// a listener's receivers together), nothing while it is down; null when the
// answer has no figure.
function sentMbps(stats) {
	const srt = stats.srt;
	if (isListener(srt))
		return srt.state === 'listening' ? callersOf(srt).reduce((sum, caller) => sum + (isNumber(caller.sendRateMbps) ? caller.sendRateMbps : 0), 0) : 0;
	if (srt)
		return srt.state === 'connected' && isNumber(srt.sendRateMbps) ? srt.sendRateMbps : srt.state === 'connected' ? null : 0;
	const output = stats.output;
	return output && isNumber(output.measuredBitrateKbps) ? output.measuredBitrateKbps / 1000 : null;
}

// With adaptive bitrate, the video bitrate aimed at, shown beside the sent one.
function targetText(output) {
	return output && isNumber(output.targetBitrateKbps)
		? ` (target ${(output.targetBitrateKbps / 1000).toFixed(2)} Mbit/s, ${output.bitrateControl})`
		: '';
}

// The bitrate history after a statistics answer: the samples of the last
// minute, the answer's own added while a stream runs. samples: [{ at, mbps }].
export function nextSamples(samples, stats, now) {
	const kept = samples.filter((sample) => now - sample.at <= SPARKLINE_SECONDS * 1000);
	const mbps = isRunning(stats) ? sentMbps(stats) : null;
	return mbps === null ? kept : [...kept, { at: now, mbps }];
}

// When the SRT link was last seen up, after a statistics answer (null:
// not yet in this run): now while it is up; null when a new run began or no
// run goes on; as before while it is down or the server cannot be asked.
export function linkSeenUpAt(before, stats, now, transition) {
	if (stats === null)
		return before;
	if (transition.began || !isRunning(stats))
		return isRunning(stats) && stats.srt && linkIsUp(stats.srt) ? now : null;
	return stats.srt && linkIsUp(stats.srt) ? now : before;
}

// The SRT link's calls since it was last up, as the worker counts them and
// its log lines number them: { failed, code, reason }: how many failed, the
// last failure's code (LINK_ADVICE) and its words ('' for none).
export function linkCalls(srt) {
	const failure = srt && srt.failure && typeof srt.failure === 'object' ? srt.failure : null;
	return {
		failed: srt && Number.isInteger(srt.failedAttempts) ? srt.failedAttempts : 0,
		code: failure && typeof failure.code === 'string' ? failure.code : '',
		reason: failure && typeof failure.reason === 'string' ? failure.reason : '',
	};
}

function contactLost(stats, page) {
	return stats === null && page.serverReachable === false;
}

// The state in the top bar: { key, text, detail }.
function tallyOf(page, stats, statsAt) {
	if (page.busy === 'start')
		return { key: 'busy', text: 'STARTING…', detail: '' };
	if (page.busy === 'stop' || page.pending === 'stop')
		return { key: 'busy', text: 'STOPPING…', detail: '' };
	// Started, and not yet heard of: the link cannot be up yet.
	if (page.pending === 'start')
		return { key: 'connecting', text: 'CONNECTING', detail: '' };
	if (contactLost(stats, page))
		return { key: 'nocontact', text: 'NO CONTACT', detail: statsAt === null ? '' : `since ${timeOfDay(new Date(statsAt))}` };
	if (!stats)
		return { key: 'unknown', text: 'NO STATUS', detail: '' };
	if (stats.running) {
		// The worker's figures stopped coming: the last ones are no measure of the stream.
		if (stats.state === 'unresponsive') {
			const age = stats.statisticsAgeSeconds;
			return { key: 'unresponsive', text: 'NOT RESPONDING', detail: isNumber(age) ? `no figures for ${Math.floor(age)} s` : '' };
		}
		const srt = stats.srt;
		const { failed, code } = linkCalls(srt);
		// A closed link is called no more: its failed call is no count of attempts.
		const detail = failed > 0 && !(srt && srt.state === 'closed') ? `attempt ${failed} failed` : '';
		if (srt && srt.state === 'reconnecting')
			return { key: 'reconnecting', text: 'RECONNECTING', detail };
		// Lost for good (no reconnection): the run ends next.
		if (srt && srt.state === 'closed' && code === 'srt.lost')
			return { key: 'lost', text: 'LINK LOST', detail: '' };
		// A listener is on air while it listens and encodes, with or without receivers.
		if (isListener(srt) && stats.state === 'live' && srt.state === 'listening') {
			const count = callersOf(srt).length;
			return { key: 'live', text: 'ON AIR', detail: count === 0 ? 'no receiver yet' : `${count} receiver${count === 1 ? '' : 's'}` };
		}
		// Without an SRT link (an output of another kind) the output's own record stands for it.
		const linkUp = srt ? srt.state === 'connected' : stats.output !== null;
		if (stats.state === 'live' && linkUp)
			return { key: 'live', text: 'ON AIR', detail: '' };
		return { key: 'connecting', text: 'CONNECTING', detail };
	}
	if (stats.state === 'failed')
		return { key: 'failed', text: 'FAILED', detail: '' };
	if (stats.state === 'stopped')
		return { key: 'stopped', text: 'STOPPED', detail: '' };
	return { key: 'idle', text: 'IDLE', detail: '' };
}

function message(kind, headline, detail = '', hint = '', technical = '', what = 'action') {
	return { kind, headline, detail, hint, technical, what };
}

// What to tell the operator while the encoder keeps calling, by the code of
// the last call's failure (linkCalls): calling(peer), the headline before
// the link was ever up; advice, what to check. A code without an entry gets
// the advice for a receiver that does not answer.
export const LINK_ADVICE = {
	'srt.rejected': {
		calling: (peer) => `The receiver at ${peer} refuses the call.`,
		advice: 'Check the stream ID and the passphrase: the receiver takes only the ones it expects.',
	},
	'srt.rejected.passphrase': {
		calling: (peer) => `The receiver at ${peer} refuses the passphrase.`,
		advice: 'Check the passphrase: it must be the one the receiver expects, or empty if the receiver expects none.',
	},
	'srt.host.unresolved': {
		calling: (peer) => `The receiver's host name ${hostOf(peer)} was not found.`,
		advice: 'Check the spelling of the host name, or enter the receiver\'s IP address.',
	},
	'srt.peer.silent': {
		calling: (peer) => `The receiver at ${peer} does not answer yet.`,
		advice: 'Check that the receiver is listening on this address.',
	},
};

// The server does not answer: what the page last knew, and that it keeps asking.
function contactMessage(lastStats, statsAt) {
	const since = statsAt === null ? '' : ` since ${timeOfDay(new Date(statsAt))}`;
	const before = isRunning(lastStats) ? 'When it last answered, a stream was running. ' : '';
	return message('error', `No contact with the encoder${since}: the stream may have stopped`,
		`${before}The server does not answer: it may have stopped, or the network between this browser and the encoder is down.`,
		'The page asks again every second. The figures and the picture below are the last ones received.', '', 'contact');
}

// The message the state puts up, when it changes: { clear, show, exit }.
// clear: take down the message (and the marks on fields) first; show: the
// message to put up, or null; exit: the end whose reason is now shown. A
// message of another kind (a refused start, say) stays until the state has
// news. shown.message is the kind of the message on the page ('' for none).
function messageOf({ stats, lastStats, statsAt, page, shown, transition, tally, config }) {
	const result = { clear: false, show: null, exit: transition.began ? null : shown.exit };
	let what = shown.message;
	if (contactLost(stats, page)) {
		if (what !== 'contact')
			result.show = contactMessage(lastStats, statsAt);
		return result;
	}
	// The end of the run before is no news once a new one runs, nor the lost contact once it is back.
	if ((transition.began && what === 'end') || what === 'contact') {
		result.clear = true;
		what = '';
	}
	// Until the server has been asked after a start or stop, its events are the run's before.
	if (stats && !page.pending)
		stateMessage(result, { stats, page, before: shown.key, tally, what, config, transition });
	if (transition.serverRestarted) {
		result.show = message('warning', 'The stream has ended: the server was restarted.',
			'A restart ends the media worker with it. Start the stream again when you are ready.', '', '', 'end');
	}
	return result;
}

function stateMessage(result, { stats, page, before, tally, what, config, transition }) {
	if (tally.key === 'failed') {
		const exitKey = stats.lastExit ? stats.lastExit.at : '';
		if (result.exit === exitKey)
			return;
		result.exit = exitKey;
		const codecs = config && config.encoding && Array.isArray(config.encoding.codecs) ? config.encoding.codecs : [];
		const { words, technical } = explainEnd(stats, { peer: page.peer, codecs });
		const at = stats.lastExit && stats.lastExit.at ? ` at ${timeOfDay(new Date(stats.lastExit.at))}` : '';
		result.show = message('error', `The stream ended${at}.`, words, 'Check the settings, then start again.', technical, 'end');
		return;
	}
	if (before === tally.key && tally.key !== 'reconnecting' && tally.key !== 'connecting')
		return;
	const wasRunning = ['live', 'reconnecting', 'connecting', 'lost', 'busy'].includes(before) || (before === 'nocontact' && transition.ended);
	if (tally.key === 'stopped' && wasRunning) {
		result.show = page.stoppedHere
			? message('info', 'Stream stopped.', '', '', '', 'end')
			: message('warning', 'The stream was stopped.', 'It was not stopped from this page: another client or the server ended it.', '', '', 'end');
	} else if (tally.key === 'lost') {
		const peer = page.peer || 'the receiver';
		result.show = message('error', `The link to the receiver at ${peer} was lost.`,
			'Reconnection is off: the stream ends. Start it again once the receiver listens.', '',
			`SRT: ${linkCalls(stats.srt).reason}`, 'link');
	} else if (tally.key === 'reconnecting' || tally.key === 'connecting') {
		const { failed, reason, code } = linkCalls(stats.srt);
		const peer = page.peer || 'the receiver';
		const technical = reason ? `SRT: ${reason}` : '';
		const advice = LINK_ADVICE[code];
		if (tally.key === 'reconnecting') {
			const calls = failed > 0 ? ` (attempt ${failed} failed)` : '';
			result.show = message('warning', `The link to the receiver at ${peer} is down.`,
				`The encoder keeps calling it${calls} and keeps encoding; the receiver gets the stream again once it answers.${advice ? ` ${advice.advice}` : ''}`,
				'', technical, 'link');
		} else if (failed > 0 && stats.srt.state !== 'closed') {
			const { calling, advice: check } = advice || LINK_ADVICE['srt.peer.silent'];
			result.show = message('warning', calling(peer), `The encoder keeps calling it (attempt ${failed} failed). ${check}`,
				'', technical, 'link');
		}
	} else if (tally.key === 'live' && what === 'link') {
		result.clear = true;
	}
}

// A figure as shown: value (a number, null for none), text, warn (a value
// to look at), old (not renewed by the last reads) and age (how old, when it
// is not the age the panel gives for all of them).
function figure(value, text, warn = false) {
	return { value: value === undefined ? null : value, text, warn, old: false, age: '' };
}

const NO_FIGURE = figure(null, '—');
const LINK_FIGURES = ['bitrate', 'rtt', 'lost', 'retransmitted', 'latency', 'outages', 'uptime'];
const ENCODER_FIGURES = ['fps', 'dropped', 'delayP50', 'delayP99'];
// What SRT measured on the last connection: it stays while the link is down.
const MEASURED_ON_LINK = ['rtt', 'lost', 'retransmitted', 'latency'];

// Pictures per second of a rate such as "25/1", or null.
function rateOf(text) {
	const match = typeof text === 'string' ? /^(\d+)\/(\d+)$/.exec(text) : null;
	return match && Number(match[2]) > 0 ? Number(match[1]) / Number(match[2]) : null;
}

// The encoder's own health: pictures encoded per second, pictures dropped to
// stay live, and the delay from a master picture's capture to its last byte
// handed to the output (median and 99th percentile over the last 10 s).
function encoderFigures(output) {
	const fps = output && isNumber(output.fps) ? output.fps : null;
	const nominal = output ? rateOf(output.frameRate) : null;
	const dropped = output && isNumber(output.picturesDropped) ? output.picturesDropped : null;
	const latency = output && output.latencyMs && typeof output.latencyMs === 'object' ? output.latencyMs : {};
	const delay = (value) => (isNumber(value) ? figure(value, `${value.toFixed(1)} ms`) : NO_FIGURE);
	return {
		fps: fps === null ? NO_FIGURE : figure(fps, `${fps.toFixed(1)} fps`, nominal !== null && fps < 0.9 * nominal),
		dropped: dropped === null ? NO_FIGURE : figure(dropped, String(dropped), dropped > 0),
		delayP50: delay(latency.p50),
		delayP99: delay(latency.p99),
	};
}

// The figures: { active, old, note, readAt, figures, sparkline }; sparkline:
// the polyline's points, or null to leave the last line drawn; readAt: when
// the answer they come from arrived. While the server cannot be asked they
// are the last answer's, all old. Those SRT measured stay old while the link
// is down, aged from when it was last seen up (linkUpAt).
function linkOf({ stats, lastStats, statsAt, page, now }) {
	const lost = contactLost(stats, page);
	const shownStats = lost ? lastStats : stats;
	if (!isRunning(shownStats)) {
		const figures = {};
		for (const name of [...LINK_FIGURES, ...ENCODER_FIGURES])
			figures[name] = NO_FIGURE;
		return { active: false, old: false, note: 'Shown while a stream runs', readAt: null, figures, sparkline: null };
	}
	const srt = shownStats.srt || null;
	const mbps = sentMbps(shownStats);
	const rtt = srt && isNumber(srt.rttMs) ? srt.rttMs : null;
	const count = (value, warn) => (isNumber(value) ? figure(value, String(value), warn && value > 0) : NO_FIGURE);
	const latency = srt && isNumber(srt.latencyMs) ? srt.latencyMs : null;
	const uptime = isNumber(shownStats.uptimeSeconds) ? shownStats.uptimeSeconds : null;
	const figures = {
		bitrate: mbps === null ? NO_FIGURE : figure(mbps, `${mbps.toFixed(2)} Mbit/s${targetText(shownStats.output)}`,
			srt !== null && !linkIsUp(srt)),
		rtt: rtt === null ? NO_FIGURE : figure(rtt, `${rtt.toFixed(rtt < 10 ? 2 : 0)} ms`),
		lost: count(srt ? srt.packetsLost : null, true),
		retransmitted: count(srt ? srt.packetsRetransmitted : null, false),
		latency: latency === null ? NO_FIGURE : figure(latency, `${latency} ms`),
		// The run's total from the worker: it counts a loss at once, not once the link is back.
		outages: count(srt ? srt.outages : null, true),
		uptime: uptime === null ? NO_FIGURE : figure(uptime, durationText(uptime)),
		...encoderFigures(shownStats.output),
	};
	const readAge = statsAt === null ? null : now - statsAt;
	const allOld = lost || (readAge !== null && readAge > OLD_AFTER_MS);
	if (allOld) {
		for (const name of Object.keys(figures))
			figures[name] = { ...figures[name], old: figures[name].value !== null };
	}
	if (srt && !linkIsUp(srt)) {
		const age = page.linkUpAt === null || page.linkUpAt === undefined ? 'from the last connection' : ageText(now - page.linkUpAt);
		for (const name of MEASURED_ON_LINK) {
			if (figures[name].value !== null)
				figures[name] = { ...figures[name], old: true, age };
		}
	}
	let note = srt && srt.peer ? `${isListener(srt) ? 'SRT listening on' : 'SRT to'} ${srt.peer}` : 'Updated every second';
	if (allOld && readAge !== null)
		note = `Last figures at ${timeOfDay(new Date(statsAt))}, ${ageText(readAge)}`;
	return { active: true, old: allOld, note, readAt: statsAt, figures, sparkline: sparklinePoints(page.samples, now) };
}

// The last minute of the bitrate as the points of a 120x28 polyline, the highest sample near the top.
function sparklinePoints(samples, now) {
	const recent = samples.filter((sample) => now - sample.at <= SPARKLINE_SECONDS * 1000);
	const highest = Math.max(0.1, ...recent.map((sample) => sample.mbps));
	return recent.map((sample) => {
		const x = 120 - ((now - sample.at) / (SPARKLINE_SECONDS * 1000)) * 120;
		const y = 27 - (sample.mbps / highest) * 25;
		return `${x.toFixed(1)},${y.toFixed(1)}`;
	}).join(' ');
}

// The master's two streamed channels: { channels, list, old }; each entry of
// list has the peak and RMS (dBFS, null without a level), their shares of the
// meter's range (0 to 1) and the texts to show.
function metersOf(stats, old) {
	const audio = isRunning(stats) && stats.audio ? stats.audio : null;
	const source = audio && Array.isArray(audio.sourceChannels) && audio.sourceChannels.length === 2 ? audio.sourceChannels : null;
	const share = (value) => (value === null ? 0 : Math.min(1, Math.max(0, (value - METER_FLOOR_DBFS) / -METER_FLOOR_DBFS)));
	const level = (list, channel) => (audio && Array.isArray(list) && isNumber(list[channel]) ? list[channel] : null);
	const list = ['Left', 'Right'].map((name, channel) => {
		const peak = level(audio && audio.peakDbfs, channel);
		const rms = level(audio && audio.rmsDbfs, channel);
		return {
			peak,
			rms,
			peakShare: share(peak),
			rmsShare: share(rms),
			valueNow: peak === null ? METER_FLOOR_DBFS : Math.max(METER_FLOOR_DBFS, Math.min(0, peak)),
			valueText: peak === null ? 'no level' : `peak ${decibelText(peak)} dBFS, RMS ${decibelText(rms)} dBFS${old ? ', old' : ''}`,
			text: peak === null ? '—' : `peak ${decibelText(peak)}  RMS ${decibelText(rms)}`,
			title: source ? `${name} channel: channel ${source[channel]} of the master input` : `${name} channel`,
		};
	});
	return { channels: source ? `· channels ${source[0]} and ${source[1]}` : '', list, old: old && audio !== null };
}

// Each quadrant's input: { signal, words, badge, fps, old } for slots 0 to 3.
function inputsOf(stats, old) {
	const records = new Map();
	if (isRunning(stats) && Array.isArray(stats.inputs)) {
		for (const input of stats.inputs) {
			if (input && Number.isInteger(input.quadrant))
				records.set(input.quadrant - 1, input);
		}
	}
	return [0, 1, 2, 3].map((slot) => {
		const input = records.get(slot);
		if (!input)
			return { signal: 'idle', words: '', badge: '', fps: '', old: false };
		const signal = input.signal === 'ok' || input.signal === 'none' ? input.signal : 'unknown';
		const fps = isNumber(input.fps) ? String(input.fps) : '';
		const shown = (words, badge) => ({ signal, words: old ? `${words} (old)` : words, badge, fps, old });
		if (signal === 'ok') {
			const pace = isNumber(input.fps) ? `${input.fps.toFixed(1)} pictures/s` : '';
			return shown(`Signal · ${pace}`, isNumber(input.fps) ? `${input.fps.toFixed(1)} fps` : 'OK');
		}
		if (signal === 'none')
			return shown('No signal · the program shows the slate', 'NO SIGNAL');
		return shown('Waiting for the first picture', 'WAITING');
	});
}

// Where the stream goes, one row per destination, when it goes to more than
// one place: the main receiver, then each further output in the order of the
// settings: { old, rows }, each row { label, peer, state, text, warn }:
// state is the link's own ("connecting", "connected", "reconnecting",
// "closed"), text what the operator reads beside the address. No rows for a
// single destination: the figures above are all about it.
const DESTINATION_WORDS = { connecting: 'calling', connected: 'connected', reconnecting: 'reconnecting', closed: 'left out' };

function destinationRow(label, link, isMain) {
	const state = link && typeof link.state === 'string' ? link.state : 'unknown';
	const { failed, reason } = linkCalls(link);
	const parts = [DESTINATION_WORDS[state] || 'waiting'];
	if (state === 'connected' && isNumber(link.sendRateMbps))
		parts.push(`${link.sendRateMbps.toFixed(2)} Mbit/s`);
	if (state === 'connected' && isNumber(link.packetsDropped) && link.packetsDropped > 0)
		parts.push(`${link.packetsDropped} dropped`);
	if (state !== 'connected' && failed > 0 && state !== 'closed')
		parts.push(`attempt ${failed} failed`);
	if (state !== 'connected' && reason)
		parts.push(reason);
	// The main receiver's closed link ends the stream; a further one's only itself.
	if (isMain && state === 'closed')
		parts[0] = 'closed';
	return {
		label,
		peer: link && typeof link.peer === 'string' ? link.peer : '',
		state,
		text: parts.join(' · '),
		warn: state !== 'connected',
	};
}

// A listener's receiver: where it called from, its stream id, how long and
// how well it takes the stream.
function callerRow(caller) {
	const parts = [caller.waiting ? 'joining at the next key picture' : 'receiving'];
	if (!caller.waiting && isNumber(caller.sendRateMbps))
		parts.push(`${caller.sendRateMbps.toFixed(2)} Mbit/s`);
	if (isNumber(caller.rttMs))
		parts.push(`round trip ${caller.rttMs.toFixed(caller.rttMs < 10 ? 2 : 0)} ms`);
	if (isNumber(caller.connectedSeconds))
		parts.push(`for ${durationText(caller.connectedSeconds)}`);
	const lost = isNumber(caller.packetsLost) ? caller.packetsLost : 0;
	const dropped = isNumber(caller.packetsDropped) ? caller.packetsDropped : 0;
	if (lost > 0)
		parts.push(`${lost} lost`);
	if (dropped > 0)
		parts.push(`${dropped} dropped`);
	const streamId = typeof caller.streamId === 'string' && caller.streamId ? ` (${caller.streamId})` : '';
	return {
		label: Number.isInteger(caller.slot) ? `Receiver ${caller.slot}` : 'Receiver',
		peer: `${typeof caller.address === 'string' ? caller.address : ''}${streamId}`,
		state: caller.waiting ? 'joining' : 'connected',
		text: parts.join(' · '),
		warn: dropped > 0,
	};
}

// A listening destination: its own line, then one per receiver.
function listenerRows(label, srt) {
	const callers = callersOf(srt);
	const count = callers.length;
	const limit = Number.isInteger(srt.maxCallers) ? ` of at most ${srt.maxCallers}` : '';
	const listening = srt.state === 'listening';
	return [
		{
			label,
			peer: typeof srt.peer === 'string' ? srt.peer : '',
			state: srt.state,
			text: listening ? `listening · ${count} receiver${count === 1 ? '' : 's'}${limit}` : 'closed',
			warn: !listening,
		},
		...callers.map(callerRow),
	];
}

function destinationsOf(stats, old) {
	const outputs = isRunning(stats) && Array.isArray(stats.outputs) ? stats.outputs.filter((link) => link && typeof link === 'object') : [];
	const main = isRunning(stats) ? stats.srt : null;
	if (outputs.length === 0 && !isListener(main))
		return { old: false, rows: [] };
	const rowsOf = (label, link, isMain) => (isListener(link) ? listenerRows(label, link) : [destinationRow(label, link, isMain)]);
	return {
		old,
		rows: [
			...rowsOf(outputs.length === 0 ? 'Listening' : 'Main', main, true),
			...outputs.flatMap((link, index) => rowsOf(`Output ${index + 1}`, link, false)),
		],
	};
}

// Whether the server answers, for the top bar: { state, text }. statsAt: its last answer.
export function serverState(reachable, statsAt = null) {
	if (reachable === null)
		return { state: 'unknown', text: 'Connecting to server…' };
	if (reachable)
		return { state: 'ok', text: 'Server online' };
	return { state: 'down', text: statsAt === null ? 'Server unreachable' : `No contact since ${timeOfDay(new Date(statsAt))}` };
}

// What the page shows now.
//   now: the time (ms since the epoch)
//   config: the answer of GET /api/config, or null before it came
//   stats: the latest answer of GET /api/stream/stats, or null while the server cannot be asked
//   lastStats: the last answer the server gave (stats itself while it answers), or null
//   statsAt: when that answer came (the last contact with the server), or null
//   page: the page's own facts: busy ('start' or 'stop' while such a request
//     is on its way, else null), pending (the same after it succeeded, until
//     the server has been asked again), stoppedHere (this page stopped the
//     last run), peer (the receiver as host:port, '' if not known),
//     serverReachable (null before the first answer), samples (the bitrate
//     history, see nextSamples), linkUpAt (when the SRT link was last seen
//     up, see linkSeenUpAt), startProblem (why the form cannot start a
//     stream: { reason, element } with the field's id, or null)
//   shown: what the page shows now: key (the state's key, null at first),
//     exit (the end whose reason is shown), message (the kind of message up, '' for none)
//   transition: what this statistics answer changed (runTransition); NO_TRANSITION otherwise
export function viewState({ now, config, stats, lastStats = stats, statsAt = null, page, shown, transition = NO_TRANSITION }) {
	const running = isRunning(stats);
	const tally = tallyOf(page, stats, statsAt);
	const ready = config !== null && !page.busy && !page.pending;
	const startable = ready && stats !== null && !running;
	const problem = startable && page.startProblem ? page.startProblem : null;
	const link = linkOf({ stats, lastStats, statsAt, page, now });
	const lost = contactLost(stats, page);
	const shownStats = lost ? lastStats : stats;
	return {
		tally,
		title: `${tally.text.replace('…', '')} - ${PRODUCT}`,
		controls: {
			start: startable && problem === null,
			stop: ready && running,
			// While a stream runs the form stays open for the next run (what differs
			// from the run is marked); it waits only for an answer to come.
			locked: page.busy !== null || page.pending !== null,
			// Why Start waits, beside it, and the field to go to.
			startReason: problem ? problem.reason : '',
			startReasonField: problem ? problem.element : null,
		},
		message: messageOf({ stats, lastStats, statsAt, page, shown, transition, tally, config }),
		server: serverState(page.serverReachable, statsAt),
		link,
		meters: metersOf(shownStats, link.old),
		inputs: inputsOf(shownStats, link.old),
		destinations: destinationsOf(shownStats, link.old),
		preview: {
			live: tally.key === 'live',
			running,
			// While the server cannot be asked, the picture on screen may be long gone from the output.
			old: lost ? `No contact${statsAt === null ? '' : ` since ${timeOfDay(new Date(statsAt))}`}: not the current picture` : '',
		},
	};
}

// The activity log, newest first: the server's events beside the page's own
// notes, each { at, origin, level, message, time, explanation }: the
// explanation of an event's code (explain.mjs) in context (reportContext),
// '' for a line without a code.
export function logLines(events, notes, context = reportContext({})) {
	const explained = (event) => explainCode(event.code, { ...context, message: event.message }) || '';
	const lines = [
		...events.map((event) => ({ ...event, origin: 'server', explanation: explained(event) })),
		...notes.map((entry) => ({ ...entry, origin: 'page', explanation: '' })),
	].filter((line) => typeof line.at === 'string' && typeof line.message === 'string');
	// Oldest first, then turned: the newest line comes first.
	lines.sort((a, b) => (a.at < b.at ? -1 : a.at > b.at ? 1 : 0));
	return lines.slice(-LOG_LIMIT).reverse().map((line) => {
		const date = new Date(line.at);
		return { ...line, time: Number.isNaN(date.getTime()) ? '--:--:--' : timeOfDay(date) };
	});
}
