// What the page shows, worked out from what it knows: the server's answers
// and the page's own facts in, the state, the buttons, the message, the
// figures, the meters and the inputs out. Pure: no page, no requests, no
// timers, no clock (the time comes in as `now`), so it runs in node as it
// runs in the browser. The renderers put the result on the page.
import { explainEnd, explainLink } from './explain.mjs';
import { decibelText, durationText, isNumber, PRODUCT, timeOfDay } from './format.mjs';

const SPARKLINE_SECONDS = 60;
const METER_FLOOR_DBFS = -60;
const LOG_LIMIT = 100;

export function isRunning(stats) {
	return stats !== null && stats.running === true;
}

// What a statistics answer changed against what the page knew: a run began
// (or was first seen), a run ended, or the server came back knowing of no run
// (it was restarted, and its worker ended with it). before: the answer before
// (null while the server could not be asked); lastKnownRunning: whether the
// last answer the server gave at all said that a worker runs, so that a run
// that ended while the server could not be asked has ended all the same.
export function runTransition(before, stats, lastKnownRunning) {
	const ended = stats !== null && !stats.running && lastKnownRunning;
	return {
		began: isRunning(stats) && !isRunning(before),
		ended,
		serverRestarted: ended && stats.state === 'idle',
	};
}

export const NO_TRANSITION = Object.freeze({ began: false, ended: false, serverRestarted: false });

// The sent bitrate in Mbit/s: what SRT sends while the link is up, nothing
// while it is down; null when the answer has no figure.
function sentMbps(stats) {
	const srt = stats.srt;
	if (srt)
		return srt.state === 'connected' && isNumber(srt.sendRateMbps) ? srt.sendRateMbps : srt.state === 'connected' ? null : 0;
	const output = stats.output;
	return output && isNumber(output.measuredBitrateKbps) ? output.measuredBitrateKbps / 1000 : null;
}

// The bitrate history after a statistics answer: the samples of the last
// minute, the answer's own added while a stream runs. samples: [{ at, mbps }].
export function nextSamples(samples, stats, now) {
	const kept = samples.filter((sample) => now - sample.at <= SPARKLINE_SECONDS * 1000);
	const mbps = isRunning(stats) ? sentMbps(stats) : null;
	return mbps === null ? kept : [...kept, { at: now, mbps }];
}

// The state in the top bar: { key, text, detail }.
function tallyOf(page, stats) {
	if (page.busy === 'start')
		return { key: 'busy', text: 'STARTING…', detail: '' };
	if (page.busy === 'stop' || page.pending === 'stop')
		return { key: 'busy', text: 'STOPPING…', detail: '' };
	// Started, and not yet heard of: the link cannot be up yet.
	if (page.pending === 'start')
		return { key: 'connecting', text: 'CONNECTING', detail: '' };
	if (!stats)
		return { key: 'unknown', text: 'NO STATUS', detail: '' };
	if (stats.running) {
		const srt = stats.srt;
		if (srt && srt.state === 'reconnecting')
			return { key: 'reconnecting', text: 'RECONNECTING', detail: `attempt ${explainLink(stats).attempt}` };
		// Without an SRT link (an output of another kind) the output's own record stands for it.
		const linkUp = srt ? srt.state === 'connected' : stats.output !== null;
		if (stats.state === 'live' && linkUp)
			return { key: 'live', text: 'ON AIR', detail: '' };
		const { attempt } = explainLink(stats);
		return { key: 'connecting', text: 'CONNECTING', detail: attempt > 1 ? `attempt ${attempt}` : '' };
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

// The message the state puts up, when it changes: { clear, show, exit }.
// clear: take down the message (and the marks on fields) first; show: the
// message to put up, or null; exit: the end whose reason is now shown. A
// message of another kind (a refused start, say) stays until the state has
// news. shown.message is the kind of the message on the page ('' for none).
function messageOf({ stats, page, shown, transition, tally, config }) {
	const result = { clear: false, show: null, exit: transition.began ? null : shown.exit };
	let what = shown.message;
	// The end of the run before is no news once a new one runs.
	if (transition.began && what === 'end') {
		result.clear = true;
		what = '';
	}
	// Until the server has been asked after a start or stop, its events are the run's before.
	if (stats && !page.pending)
		stateMessage(result, { stats, page, before: shown.key, tally, what, config });
	if (transition.serverRestarted) {
		result.show = message('warning', 'The stream has ended: the server was restarted.',
			'A restart ends the media worker with it. Start the stream again when you are ready.', '', '', 'end');
	}
	return result;
}

function stateMessage(result, { stats, page, before, tally, what, config }) {
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
	if (tally.key === 'stopped' && ['live', 'reconnecting', 'connecting', 'busy'].includes(before)) {
		result.show = page.stoppedHere
			? message('info', 'Stream stopped.', '', '', '', 'end')
			: message('warning', 'The stream was stopped.', 'It was not stopped from this page: another client or the server ended it.', '', '', 'end');
	} else if (tally.key === 'reconnecting' || tally.key === 'connecting') {
		const { attempt, reason } = explainLink(stats);
		const peer = page.peer || 'the receiver';
		const technical = reason ? `SRT: ${reason}` : '';
		if (tally.key === 'reconnecting') {
			result.show = message('warning', `The link to the receiver at ${peer} is down.`,
				`The encoder keeps calling it (attempt ${attempt}) and keeps encoding; the receiver gets the stream again once it answers.`,
				'', technical, 'link');
		} else if (attempt > 1) {
			result.show = message('warning', `The receiver at ${peer} does not answer yet.`,
				`The encoder keeps calling it (attempt ${attempt}). Check that the receiver is listening on this address.`,
				'', technical, 'link');
		}
	} else if (tally.key === 'live' && what === 'link') {
		result.clear = true;
	}
}

function figure(value, text, warn = false) {
	return { value: value === undefined ? null : value, text, warn };
}

const NO_FIGURE = figure(null, '—');

// The link's figures: { active, note, readAt, figures, sparkline }; each
// figure { value, text, warn }; sparkline: the polyline's points, or null to
// leave the last line drawn; readAt: when the answer they come from arrived.
function linkOf(stats, samples, statsAt, now) {
	if (!isRunning(stats)) {
		const figures = {};
		for (const name of ['bitrate', 'rtt', 'lost', 'retransmitted', 'latency', 'reconnects', 'uptime'])
			figures[name] = NO_FIGURE;
		return { active: false, note: 'Shown while a stream runs', readAt: null, figures, sparkline: null };
	}
	const srt = stats.srt || null;
	const mbps = sentMbps(stats);
	const rtt = srt && isNumber(srt.rttMs) ? srt.rttMs : null;
	const count = (value, warn) => (isNumber(value) ? figure(value, String(value), warn && value > 0) : NO_FIGURE);
	const latency = srt && isNumber(srt.latencyMs) ? srt.latencyMs : null;
	const uptime = isNumber(stats.uptimeSeconds) ? stats.uptimeSeconds : null;
	return {
		active: true,
		note: srt && srt.peer ? `SRT to ${srt.peer}` : 'Updated every second',
		readAt: statsAt,
		figures: {
			bitrate: mbps === null ? NO_FIGURE : figure(mbps, `${mbps.toFixed(2)} Mbit/s`, srt !== null && srt.state !== 'connected'),
			rtt: rtt === null ? NO_FIGURE : figure(rtt, `${rtt.toFixed(rtt < 10 ? 2 : 0)} ms`),
			lost: count(srt ? srt.packetsLost : null, true),
			retransmitted: count(srt ? srt.packetsRetransmitted : null, false),
			latency: latency === null ? NO_FIGURE : figure(latency, `${latency} ms`),
			reconnects: count(srt ? srt.reconnects : null, true),
			uptime: uptime === null ? NO_FIGURE : figure(uptime, durationText(uptime)),
		},
		sparkline: sparklinePoints(samples, now),
	};
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

// The master's two streamed channels: { channels, list }; each entry of list
// has the peak and RMS (dBFS, null without a level), their shares of the
// meter's range (0 to 1) and the texts to show.
function metersOf(stats) {
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
			valueText: peak === null ? 'no level' : `peak ${decibelText(peak)} dBFS, RMS ${decibelText(rms)} dBFS`,
			text: peak === null ? '—' : `peak ${decibelText(peak)}  RMS ${decibelText(rms)}`,
			title: source ? `${name} channel: channel ${source[channel]} of the master input` : `${name} channel`,
		};
	});
	return { channels: source ? `· channels ${source[0]} and ${source[1]}` : '', list };
}

// Each quadrant's input: { signal, words, badge, fps } for slots 0 to 3.
function inputsOf(stats) {
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
			return { signal: 'idle', words: '', badge: '', fps: '' };
		const signal = input.signal === 'ok' || input.signal === 'none' ? input.signal : 'unknown';
		const fps = isNumber(input.fps) ? String(input.fps) : '';
		if (signal === 'ok') {
			const pace = isNumber(input.fps) ? `${input.fps.toFixed(1)} pictures/s` : '';
			return { signal, words: `Signal · ${pace}`, badge: isNumber(input.fps) ? `${input.fps.toFixed(1)} fps` : 'OK', fps };
		}
		if (signal === 'none')
			return { signal, words: 'No signal · the program shows the slate', badge: 'NO SIGNAL', fps };
		return { signal, words: 'Waiting for the first picture', badge: 'WAITING', fps };
	});
}

// Whether the server answers, for the top bar: { state, text }.
export function serverState(reachable) {
	if (reachable === null)
		return { state: 'unknown', text: 'Connecting to server…' };
	return reachable ? { state: 'ok', text: 'Server online' } : { state: 'down', text: 'Server unreachable' };
}

// What the page shows now.
//   now: the time (ms since the epoch)
//   config: the answer of GET /api/config, or null before it came
//   stats: the latest answer of GET /api/stream/stats, or null while the server cannot be asked
//   statsAt: when that answer came (the last contact with the server), or null
//   page: the page's own facts: busy ('start' or 'stop' while such a request
//     is on its way, else null), pending (the same after it succeeded, until
//     the server has been asked again), stoppedHere (this page stopped the
//     last run), peer (the receiver as host:port, '' if not known),
//     serverReachable (null before the first answer), samples (the bitrate
//     history, see nextSamples)
//   shown: what the page shows now: key (the state's key, null at first),
//     exit (the end whose reason is shown), message (the kind of message up, '' for none)
//   transition: what this statistics answer changed (runTransition); NO_TRANSITION otherwise
export function viewState({ now, config, stats, statsAt = null, page, shown, transition = NO_TRANSITION }) {
	const running = isRunning(stats);
	const tally = tallyOf(page, stats);
	const ready = config !== null && !page.busy && !page.pending;
	return {
		tally,
		title: `${tally.text.replace('…', '')} - ${PRODUCT}`,
		controls: {
			start: ready && stats !== null && !running,
			stop: ready && running,
			// The settings of a running stream cannot change: lock them until it stops.
			locked: running || page.busy !== null || page.pending !== null,
		},
		message: messageOf({ stats, page, shown, transition, tally, config }),
		server: serverState(page.serverReachable),
		link: linkOf(stats, page.samples, statsAt, now),
		meters: metersOf(stats),
		inputs: inputsOf(stats),
		preview: { live: tally.key === 'live', running },
	};
}

// The activity log, newest first: the server's events beside the page's own
// notes, each { at, origin, level, message, time }.
export function logLines(events, notes) {
	const lines = [
		...events.map((event) => ({ ...event, origin: 'server' })),
		...notes.map((entry) => ({ ...entry, origin: 'page' })),
	].filter((line) => typeof line.at === 'string' && typeof line.message === 'string');
	// Oldest first, then turned: the newest line comes first.
	lines.sort((a, b) => (a.at < b.at ? -1 : a.at > b.at ? 1 : 0));
	return lines.slice(-LOG_LIMIT).reverse().map((line) => {
		const date = new Date(line.at);
		return { ...line, time: Number.isNaN(date.getTime()) ? '--:--:--' : timeOfDay(date) };
	});
}
