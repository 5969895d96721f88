// Browser test of the control page: the real server (a simulated capture card
// and four test-pattern inputs), the real worker, real SRT listeners
// (srt-live-transmit), and the system's headless Chromium driven by
// playwright-core, with axe-core run inside the page.
//
// Environment: TILORAN_SERVER (the server program; the worker lies beside it),
// TILORAN_WEB_DIR (the page's directory), TILORAN_FAKE_DECKLINK (the card
// simulator's library), TILORAN_ARTIFACT_DIR (screenshots, contrast figures
// and the server's console output are left there), optionally TILORAN_CHROMIUM.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import dgram from 'node:dgram';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const serverProgram = requiredEnvironment('TILORAN_SERVER');
const webDirectory = requiredEnvironment('TILORAN_WEB_DIR');
const cardLibrary = requiredEnvironment('TILORAN_FAKE_DECKLINK');
const artifactDirectory = process.env.TILORAN_ARTIFACT_DIR || path.join(os.tmpdir(), 'tiloran-page-artifacts');
const chromiumProgram = process.env.TILORAN_CHROMIUM || '/usr/bin/chromium';
const baseUrl = 'http://127.0.0.1:3000';
const testInputs = [1, 2, 3, 4].map((k) => `Test Input ${k} (640x360p25)`);
const cardName = 'Studio card';
const cardId = 'decklink-7';
// A common laptop screen: the first look of the page is judged at this size.
const desktop = { width: 1366, height: 768 };
const phone = { width: 390, height: 844 };
// The bound of a wait for something that is bound to happen: far more than a
// loaded two-core machine needs, so that only a hang ends the wait.
const PATIENCE_MS = 60000;
// Set for a sanitizer build, whose programs run several times slower than real time.
const PROGRAMS_BEHIND_REAL_TIME = process.env.TILORAN_PROGRAMS_BEHIND_REAL_TIME === '1';
// WCAG's least contrast for text of ordinary size.
const LEAST_CONTRAST = 4.5;

function requiredEnvironment(name) {
	const value = process.env[name];
	if (!value)
		throw new Error(`${name} is not set`);
	return value;
}

async function loadPlaywright() {
	try {
		return await import(path.join(here, 'node_modules', 'playwright-core', 'index.mjs'));
	} catch (error) {
		throw new Error(`playwright-core is not installed; run "npm ci --prefix ${here}" (${error.message})`);
	}
}

function axeScript() {
	const file = path.join(here, 'node_modules', 'axe-core', 'axe.min.js');
	if (!fs.existsSync(file))
		throw new Error(`axe-core is not installed; run "npm ci --prefix ${here}"`);
	return file;
}

function sleep(milliseconds) {
	return new Promise((resolve) => setTimeout(resolve, milliseconds));
}

async function freeUdpPort() {
	const socket = dgram.createSocket('udp4');
	await new Promise((resolve, reject) => {
		socket.once('error', reject);
		socket.bind(0, '127.0.0.1', resolve);
	});
	const { port } = socket.address();
	await new Promise((resolve) => socket.close(resolve));
	return port;
}

async function waitFor(condition, timeoutMs, what) {
	const deadline = Date.now() + timeoutMs;
	for (;;) {
		if (await condition())
			return;
		if (Date.now() > deadline)
			throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}`);
		await sleep(50);
	}
}

function waitForExit(child, timeoutMs) {
	if (child.exitCode !== null || child.signalCode !== null)
		return Promise.resolve(true);
	return new Promise((resolve) => {
		const timer = setTimeout(() => resolve(false), timeoutMs);
		child.once('exit', () => {
			clearTimeout(timer);
			resolve(true);
		});
	});
}

async function stopChild(child, signal = 'SIGTERM') {
	if (!child || child.exitCode !== null || child.signalCode !== null)
		return;
	child.kill(signal);
	if (!(await waitForExit(child, 15000))) {
		child.kill('SIGKILL');
		await waitForExit(child, 5000);
	}
}

async function api(method, route, body) {
	const options = body === undefined ? { method } : { method, headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
	const response = await fetch(baseUrl + route, options);
	return { status: response.status, body: await response.text() };
}

async function stats() {
	return JSON.parse((await api('GET', '/api/stream/stats')).body);
}

// The first event of the current or last run (those after its "Worker started") that matches.
async function runEvent(pattern) {
	const events = (await stats()).events;
	const started = events.findLastIndex((event) => event.message.startsWith('Worker started'));
	return events.slice(Math.max(started, 0)).find((event) => pattern.test(event.message));
}

// Whether a process has ended (gone, or a zombie nobody has reaped yet).
function processEnded(pid) {
	try {
		return /^\d+ \(.*\) Z/.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
	} catch (error) {
		return true;
	}
}

// The worker processes the server launched: its children, found through /proc.
function workerProcesses(serverPid) {
	const found = [];
	let tasks = [];
	try {
		tasks = fs.readdirSync(`/proc/${serverPid}/task`);
	} catch (error) {
		return found;
	}
	for (const task of tasks) {
		let children = '';
		try {
			children = fs.readFileSync(`/proc/${serverPid}/task/${task}/children`, 'utf8');
		} catch (error) {
			continue;
		}
		for (const pid of children.split(/\s+/).filter(Boolean).map(Number)) {
			try {
				const commandLine = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
				if (commandLine.includes('zenvo_tiloran_worker'))
					found.push(pid);
			} catch (error) {
				// The child ended meanwhile.
			}
		}
	}
	return found;
}

// Runs in the page: the contrast of an element's text (or its placeholder)
// against what lies behind it, semi-transparent layers blended in.
function contrastInPage([selector, pseudo]) {
	const parse = (text) => {
		const match = /rgba?\(([^)]+)\)/.exec(text);
		if (!match)
			return null;
		const parts = match[1].split(/[\s,/]+/).filter(Boolean).map(Number);
		return { r: parts[0], g: parts[1], b: parts[2], a: parts.length > 3 ? parts[3] : 1 };
	};
	const over = (top, bottom) => ({
		r: top.r * top.a + bottom.r * (1 - top.a),
		g: top.g * top.a + bottom.g * (1 - top.a),
		b: top.b * top.a + bottom.b * (1 - top.a),
		a: 1,
	});
	const element = document.querySelector(selector);
	const layers = [];
	for (let node = element; node; node = node.parentElement) {
		const colour = parse(getComputedStyle(node).backgroundColor);
		if (colour && colour.a > 0)
			layers.push(colour);
		if (colour && colour.a === 1)
			break;
	}
	let background = { r: 255, g: 255, b: 255, a: 1 };
	for (const layer of layers.reverse())
		background = over(layer, background);
	const foreground = over(parse(getComputedStyle(element, pseudo || null).color), background);
	const luminance = ({ r, g, b }) => {
		const channel = (value) => {
			const share = value / 255;
			return share <= 0.03928 ? share / 12.92 : ((share + 0.055) / 1.055) ** 2.4;
		};
		return 0.2126 * channel(r) + 0.7152 * channel(g) + 0.0722 * channel(b);
	};
	const [light, dark] = [luminance(foreground), luminance(background)].sort((a, b) => b - a);
	return Math.round(((light + 0.05) / (dark + 0.05)) * 100) / 100;
}

describe('control page', () => {
	let workDirectory;
	let server;
	let serverLog;
	let listener;
	let srtPort;
	let deadPort;
	let srtBytes = 0;
	let srtFirstByte = null;
	let controlFile;
	let serverEnvironment;
	// While the test restarts the server, the page's requests are refused.
	let serverDown = false;
	let context;
	let page;
	const consoleProblems = [];
	const startRequests = [];
	const stopRequests = [];
	// The page's own statistics answers, newest last.
	const seenStats = [];
	const contrast = {};
	const screenshots = [];

	function startListener() {
		const child = spawn('srt-live-transmit', ['-q', `srt://127.0.0.1:${srtPort}?mode=listener`, 'file://con'],
			{ stdio: ['ignore', 'pipe', 'ignore'] });
		child.stdout.on('data', (chunk) => {
			if (srtFirstByte === null)
				srtFirstByte = chunk[0];
			srtBytes += chunk.length;
		});
		return child;
	}

	async function startServer() {
		server = spawn(serverProgram, ['--test-inputs=4:640x360p25'],
			{ cwd: workDirectory, env: serverEnvironment, stdio: ['ignore', 'pipe', 'pipe'] });
		// Every server of the run writes into the one console file.
		server.stdout.pipe(serverLog, { end: false });
		server.stderr.pipe(serverLog, { end: false });
		await waitFor(async () => {
			if (server.exitCode !== null)
				throw new Error(`the server exited with ${server.exitCode}; see server-console.txt`);
			try {
				// Which encoders open here arrives a moment after the server listens.
				const answer = await api('GET', '/api/config');
				return answer.status === 200 && JSON.parse(answer.body).encoding.codecs.every((codec) => 'available' in codec);
			} catch (error) {
				return false;
			}
		}, PATIENCE_MS, 'the server to say in /api/config which encoders open here');
	}

	async function text(selector) {
		return (await page.textContent(selector)).trim();
	}

	async function waitForText(selector, expected, timeoutMs = PATIENCE_MS) {
		try {
			await page.waitForFunction(([s, e]) => {
				const element = document.querySelector(s);
				return element !== null && element.textContent.includes(e);
			}, [selector, expected], { timeout: timeoutMs, polling: 50 });
		} catch (error) {
			const actual = await page.textContent(selector).catch(() => '(none)');
			throw new Error(`"${selector}" did not show "${expected}" within ${timeoutMs} ms; it shows "${actual}"`);
		}
	}

	async function waitForState(expected) {
		await waitForText('#stream-state-text', expected);
	}

	// Every state the top bar has shown since the last reset (recorded in the page).
	async function stateHistory() {
		return page.evaluate(() => window.tallyHistory);
	}

	async function resetStateHistory() {
		await page.evaluate(() => {
			window.tallyHistory.splice(0, window.tallyHistory.length - 1);
			window.tallyDetails.splice(0, window.tallyDetails.length - 1);
		});
	}

	function answerTo(route) {
		return page.waitForResponse((response) => new URL(response.url()).pathname === route, { timeout: PATIENCE_MS });
	}

	// Resolves once the page has handled a statistics answer to a request sent
	// after the call. The page sends each request only after handling the one
	// before, so the third answer from now follows the handling of the second.
	async function statsPollsHandled() {
		for (let answer = 0; answer < 3; answer++)
			await answerTo('/api/stream/stats');
	}

	// shown: the selector of what the picture is about, scrolled into view below the bar (the top of the page without).
	async function screenshot(name, shown) {
		for (const size of [desktop, phone]) {
			await page.setViewportSize(size);
			await page.evaluate((selector) => {
				if (!selector)
					return window.scrollTo(0, 0);
				const bar = document.querySelector('.top-bar').getBoundingClientRect().height;
				window.scrollTo(0, document.querySelector(selector).getBoundingClientRect().top + window.scrollY - bar - 8);
			}, shown);
			// Let the layout settle at the new size before the picture.
			await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
			const file = path.join(artifactDirectory, `control-page-${name}-${size.width}x${size.height}.png`);
			await page.screenshot({ path: file });
			screenshots.push(file);
		}
		await page.evaluate(() => window.scrollTo(0, 0));
		await page.setViewportSize(desktop);
	}

	async function measureContrast(name, selector, pseudo) {
		const ratio = await page.evaluate(contrastInPage, [selector, pseudo]);
		contrast[name] = ratio;
		assert.ok(ratio >= LEAST_CONTRAST, `${name} (${selector}${pseudo || ''}) has a contrast of ${ratio}:1`);
	}

	// axe-core in the page: contrast, names, roles; no violation of serious or critical impact.
	async function checkAccessibility(what) {
		if (!(await page.evaluate(() => typeof window.axe === 'object')))
			await page.addScriptTag({ path: axeScript() });
		const result = await page.evaluate(() => window.axe.run(document, {
			runOnly: { type: 'tag', values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa', 'wcag22aa', 'best-practice'] },
		}));
		const grave = result.violations.filter((violation) => violation.impact === 'serious' || violation.impact === 'critical');
		const described = grave.map((violation) => `${violation.id} (${violation.impact}): ${violation.help} at ` +
			violation.nodes.map((node) => node.target.join(' ')).join(', '));
		assert.deepEqual(described, [], `accessibility of the ${what} page`);
		return result.passes.length;
	}

	// The figures the page shows, read from its elements.
	async function shownFigures() {
		return page.evaluate(() => {
			const value = (id) => {
				const raw = document.getElementById(id).dataset.value;
				return raw === undefined ? null : Number(raw);
			};
			const meter = (id) => {
				const element = document.getElementById(id);
				return element.dataset.peak === undefined ? null
					: { peak: Number(element.dataset.peak), rms: Number(element.dataset.rms) };
			};
			return {
				bitrate: value('figure-bitrate'),
				rtt: value('figure-rtt'),
				lost: value('figure-lost'),
				retransmitted: value('figure-retransmitted'),
				latency: value('figure-latency'),
				outages: value('figure-outages'),
				fps: value('figure-fps'),
				dropped: value('figure-dropped'),
				delayP50: value('figure-delay-p50'),
				delayP99: value('figure-delay-p99'),
				left: meter('meter-left-values'),
				right: meter('meter-right-values'),
			};
		});
	}

	function figuresOf(record) {
		const srt = record.srt || {};
		const output = record.output || {};
		const channel = (index) => (record.audio ? { peak: record.audio.peakDbfs[index], rms: record.audio.rmsDbfs[index] } : null);
		return {
			bitrate: srt.state === 'connected' ? srt.sendRateMbps ?? null : 0,
			rtt: srt.rttMs ?? null,
			lost: srt.packetsLost ?? null,
			retransmitted: srt.packetsRetransmitted ?? null,
			latency: srt.latencyMs ?? null,
			outages: srt.outages ?? null,
			fps: output.fps ?? null,
			dropped: output.picturesDropped ?? null,
			delayP50: output.latencyMs?.p50 ?? null,
			delayP99: output.latencyMs?.p99 ?? null,
			left: channel(0),
			right: channel(1),
		};
	}

	// Waits for a statistics answer of the page, then reads what the page
	// shows: it must be what one of the page's last answers said (the newest,
	// or one before when the page has not yet drawn the newest). A loaded
	// machine may hold the page's drawing back by more than an answer, so
	// it is read again after each further answer until it has caught up.
	async function figuresMatchingStats() {
		const deadline = Date.now() + PATIENCE_MS;
		for (;;) {
			const answersBefore = seenStats.length;
			await answerTo('/api/stream/stats');
			await waitFor(() => seenStats.length > answersBefore, PATIENCE_MS, 'the page\'s statistics answer to be read');
			await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(resolve)));
			const shown = await shownFigures();
			const candidates = seenStats.slice(-3).map(figuresOf);
			if (candidates.some((candidate) => JSON.stringify(candidate) === JSON.stringify(shown)))
				return shown;
			assert.ok(Date.now() < deadline,
				`the page shows ${JSON.stringify(shown)}, the statistics said ${JSON.stringify(candidates)}`);
		}
	}

	before(async () => {
		const { chromium } = await loadPlaywright();
		assert.ok(fs.existsSync(chromiumProgram), `Chromium not found at ${chromiumProgram}`);
		fs.mkdirSync(artifactDirectory, { recursive: true });
		workDirectory = fs.mkdtempSync(path.join(os.tmpdir(), 'tiloran-page-'));
		// The server serves "WEB" from its working directory.
		fs.symlinkSync(path.resolve(webDirectory), path.join(workDirectory, 'WEB'));
		for (const name of ['config', 'home', 'tmp', 'profile'])
			fs.mkdirSync(path.join(workDirectory, name));
		controlFile = path.join(workDirectory, 'card-control.txt');
		fs.writeFileSync(controlFile, '');

		srtPort = await freeUdpPort();
		deadPort = await freeUdpPort();
		listener = startListener();

		// Another server on the port would answer in place of ours.
		const portTaken = await api('GET', '/api/health').then(() => true, () => false);
		assert.equal(portTaken, false, 'something already listens on port 3000');

		serverEnvironment = { ...process.env, XDG_CONFIG_HOME: path.join(workDirectory, 'config'),
			HOME: path.join(workDirectory, 'home'), TMPDIR: path.join(workDirectory, 'tmp'),
			TILORAN_DECKLINK_LIBRARY: cardLibrary,
			TILORAN_FAKE_DECKLINK_DEVICES: `name=${cardName},peid=7,mode=640x360p25,audio-channels=8`,
			TILORAN_FAKE_DECKLINK_CONTROL: controlFile };
		delete serverEnvironment.APPDATA;
		delete serverEnvironment.USERPROFILE;
		delete serverEnvironment.TILORAN_CAPTURE;
		serverLog = fs.createWriteStream(path.join(artifactDirectory, 'server-console.txt'));
		await startServer();

		context = await chromium.launchPersistentContext(path.join(workDirectory, 'profile'), {
			executablePath: chromiumProgram,
			headless: true,
			viewport: desktop,
			args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
				'--disable-background-networking', '--disable-component-update', '--disable-sync',
				'--disable-dev-shm-usage'],
		});
		// Every state the top bar shows, as it shows it, from the page's start.
		await context.addInitScript(() => {
			window.tallyHistory = [];
			window.tallyDetails = [];
			const follow = (id, history) => {
				const element = document.getElementById(id);
				const record = () => {
					if (history.at(-1) !== element.textContent)
						history.push(element.textContent);
				};
				record();
				new MutationObserver(record).observe(element, { childList: true, characterData: true, subtree: true });
			};
			document.addEventListener('DOMContentLoaded', () => {
				follow('stream-state-text', window.tallyHistory);
				follow('stream-state-detail', window.tallyDetails);
			});
		});
		page = context.pages()[0] || await context.newPage();
		page.on('pageerror', (error) => consoleProblems.push(`page error: ${error.message}`));
		page.on('console', (message) => {
			if (message.type() !== 'error' && message.type() !== 'warning')
				return;
			// Chromium reports every non-2xx answer as a failed resource load. The
			// server answers 503 for the preview until the worker has written the
			// first picture, and 400 for a refused start: these are expected, and
			// so is a refused connection, or an answer or connection cut off by the kill, while
			// the test restarts the server.
			const url = message.location().url || '';
			const expected = (/^Failed to load resource: the server responded with a status of (400|503)\b/.test(message.text())
				&& (url.endsWith('/api/preview') || url.endsWith('/api/stream/start')))
				|| (serverDown && /^Failed to load resource: net::ERR_(CONNECTION_REFUSED|CONNECTION_RESET|CONTENT_LENGTH_MISMATCH|EMPTY_RESPONSE)$/.test(message.text()));
			if (!expected)
				consoleProblems.push(`console ${message.type()}: ${message.text()} (${url})`);
		});
		page.on('request', (request) => {
			if (request.url().endsWith('/api/stream/start'))
				startRequests.push(request.postDataJSON());
			if (request.url().endsWith('/api/stream/stop'))
				stopRequests.push(request.url());
		});
		page.on('response', async (response) => {
			if (!response.url().endsWith('/api/stream/stats'))
				return;
			try {
				seenStats.push(await response.json());
			} catch (error) {
				// A page that went away meanwhile.
			}
		});
	});

	after(async () => {
		if (context)
			await context.close().catch(() => {});
		if (server && server.exitCode === null)
			await api('POST', '/api/stream/stop').catch(() => {});
		await stopChild(server);
		await stopChild(listener);
		if (serverLog)
			serverLog.end();
		if (workDirectory)
			fs.rmSync(workDirectory, { recursive: true, force: true });
		fs.writeFileSync(path.join(artifactDirectory, 'contrast.json'), `${JSON.stringify(contrast, null, 2)}\n`);
		console.log(`Screenshots and contrast figures in ${artifactDirectory}:`);
		for (const file of screenshots)
			console.log(`  ${path.basename(file)}`);
		console.log(`Contrast (least ${LEAST_CONTRAST}:1): ${JSON.stringify(contrast)}`);
	});

	test('idle: the product, the server, the inputs, defaults that work, readable and named', async () => {
		await page.goto(`${baseUrl}/`);
		await waitForText('#product-version', '0.5 BETA');
		assert.equal(await text('#product-title'), 'TILORAN - Quad SDI Encoder');
		await waitForText('#server-health-text', 'Server online');
		await waitForState('IDLE');
		assert.equal(await page.title(), 'IDLE - TILORAN');

		for (let id = 1; id <= 4; id++) {
			const options = await page.$$eval(`#quadrant-${id}-source option`, (list) => list.map((option) => option.textContent));
			assert.deepEqual(options, ['Empty', cardName, ...testInputs]);
		}
		assert.equal(await page.inputValue('#quadrant-1-source'), cardId, 'a first visit puts one input in each quadrant');
		for (let id = 2; id <= 4; id++)
			assert.equal(await page.inputValue(`#quadrant-${id}-source`), `test-${id - 1}`);
		const titles = (selector) => page.$$eval(`${selector} option`, (list) => list.map((option) => option.textContent));
		assert.deepEqual(await titles('#video-bitrate'), ['1 Mbps', '2 Mbps', '3 Mbps', '4 Mbps', '5 Mbps', '6 Mbps', '8 Mbps', '12 Mbps', '16 Mbps', '20 Mbps', '25 Mbps', '30 Mbps', '40 Mbps', '50 Mbps']);
		assert.deepEqual(await titles('#audio-bitrate'), ['128 kbps', '192 kbps', '256 kbps', '320 kbps']);
		// The software encoder comes first; the hardware ones this machine lacks are greyed out, and say why.
		assert.deepEqual(await page.$$eval('#codec option', (list) => list.map((option) => [option.textContent, option.disabled])), [
			['Software H264', false],
			['Intel H264 (not available on this machine)', true],
			['NVidia H264 (not available on this machine)', true],
		]);
		await assert.rejects(page.selectOption('#codec', { label: 'Intel H264 (not available on this machine)' }, { timeout: 500 }));
		assert.equal(await page.$eval('#codec', (select) => select.selectedOptions[0].textContent), 'Software H264');
		assert.equal(await page.isChecked('#srt-reconnect'), true, 'reconnection is on by default');
		assert.equal(await page.inputValue('#srt-latency'), '120');
		assert.equal(await page.getAttribute('#srt-passphrase', 'type'), 'password');
		assert.equal(await page.getAttribute('#passphrase-toggle', 'aria-label'), 'Show passphrase');
		await page.click('#passphrase-toggle');
		assert.equal(await page.getAttribute('#srt-passphrase', 'type'), 'text');
		assert.equal(await page.getAttribute('#passphrase-toggle', 'aria-label'), 'Hide passphrase');
		await page.click('#passphrase-toggle');
		assert.equal(await text('#audio-source'), `Audio and timing from Q1 Quadrant 1 (${cardName})`);
		assert.deepEqual(await titles('#audio-channels'), ['1 and 2', '3 and 4', '5 and 6', '7 and 8'],
			'the master card\'s eight channels, two by two');
		assert.equal(await page.isEnabled('#start-button'), false, 'no destination yet');
		assert.equal(await text('#start-reason'), 'Enter the receiver\'s host:port to start');
		assert.equal(await page.isEnabled('#stop-button'), false);
		assert.equal(await text('#figure-bitrate'), '—', 'no link figures without a stream');
		assert.equal(await text('#figure-fps'), '—', 'no encoder figures without a stream');

		await measureContrast('placeholder', '#quadrant-2-name', '::placeholder');
		await measureContrast('start reason', '#start-reason');
		await measureContrast('hint', '#srt-host-port-hint');
		await measureContrast('field label', 'label[for="srt-host-port"]');
		await measureContrast('start button', '#start-button');
		await measureContrast('disabled stop button', '#stop-button');
		await measureContrast('idle state', '#stream-state-text');
		await screenshot('idle');
		await checkAccessibility('idle');
		await page.setViewportSize(phone);
		await checkAccessibility('idle phone');
		await page.setViewportSize(desktop);
	});

	test('first look: destination and inputs on the first screen, Start waits for a valid destination, nothing reads as a value or as on air', async () => {
		const onScreen = async (selector, size) => {
			const box = await page.locator(selector).boundingBox();
			assert.ok(box && box.y >= 0 && box.y + box.height <= size.height && box.x >= 0 && box.x + box.width <= size.width,
				`${selector} is on the first screen at ${size.width}x${size.height} (${JSON.stringify(box)})`);
			return box;
		};
		// The distance between two boxes, 0 where they touch or overlap.
		const apart = (a, b) => Math.max(0, b.x - (a.x + a.width), a.x - (b.x + b.width), b.y - (a.y + a.height), a.y - (b.y + b.height));
		await page.evaluate(() => window.scrollTo(0, 0));
		for (const selector of ['#srt-host-port', '#quadrant-1-source', '#quadrant-2-source', '#quadrant-3-source', '#quadrant-4-source'])
			await onScreen(selector, desktop);
		const reason = await onScreen('#start-reason', desktop);
		const start = await onScreen('#start-button', desktop);
		assert.ok(apart(reason, start) <= 24, `the reason is beside Start (${JSON.stringify({ reason, start })})`);
		assert.equal(await page.isDisabled('#start-button'), true);
		assert.equal(await page.isHidden('#srt-host-port-error'), true, 'a field nobody has touched is not called wrong');
		await page.click('#start-reason');
		assert.equal(await page.evaluate(() => document.activeElement.id), 'srt-host-port', 'the reason leads to the field');
		await waitForText('#srt-host-port-error', 'Enter the receiver\'s address as host:port, for example 203.0.113.10:9000.');

		// The example address is a hint beside the field, never grey text in it that reads like a value.
		assert.deepEqual(await page.$$eval('#settings-form input[placeholder]', (inputs) => inputs.map((input) => input.id)), []);
		assert.match(await text('#srt-host-port-hint'), /^host:port, e\.g\. 203\.0\.113\.10:9000/);

		// IDLE is neutral: green is for a picture that goes out.
		const dot = await page.$eval('#stream-state .tally-dot', (element) => getComputedStyle(element).backgroundColor);
		const [red, green, blue] = dot.match(/\d+/g).map(Number);
		assert.ok(Math.max(red, green, blue) - Math.min(red, green, blue) < 40, `the IDLE dot is grey, not ${dot}`);

		// On a phone: the state, Start and Stop, the reason and the destination first.
		await page.setViewportSize(phone);
		await page.evaluate(() => window.scrollTo(0, 0));
		for (const selector of ['#stream-state', '#start-button', '#stop-button', '#start-reason', '#srt-host-port'])
			await onScreen(selector, phone);
		const destination = await page.locator('#srt-host-port').boundingBox();
		const preview = await page.locator('#preview-frame').boundingBox();
		assert.ok(destination.y < preview.y, 'the destination comes before the preview');
		await page.setViewportSize(desktop);

		// Thin links need 1 to 6 Mbit/s, which the server offers beside its list: a first visit still starts at 8 Mbit/s.
		await page.evaluate(() => localStorage.clear());
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
		await page.waitForFunction(() => document.querySelectorAll('#video-bitrate option').length > 0, null, { timeout: PATIENCE_MS });
		const offered = await page.$$eval('#video-bitrate option', (list) => list.map((option) => option.textContent));
		assert.deepEqual(offered.slice(0, 7), ['1 Mbps', '2 Mbps', '3 Mbps', '4 Mbps', '5 Mbps', '6 Mbps', '8 Mbps']);
		assert.equal(await page.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent), '8 Mbps');
		await page.reload();
		await waitForState('IDLE');
	});

	test('checks as the operator types: each field says what is wrong, and Start waits with the reason beside it', async () => {
		const requestsBefore = startRequests.length;
		// expected: the field's own words; reason: the words beside Start.
		const blocked = async (field, error, expected, reason) => {
			await waitForText(error, expected);
			assert.equal(await page.isVisible(error), true);
			assert.equal(await page.getAttribute(field, 'aria-invalid'), 'true', `${field} is marked`);
			assert.equal(await page.isDisabled('#start-button'), true);
			assert.equal(await text('#start-reason'), reason);
		};
		const hostPort = (expected, reason = 'Check the receiver\'s host:port') => blocked('#srt-host-port', '#srt-host-port-error', expected, reason);

		await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		for (let id = 1; id <= 4; id++)
			await page.selectOption(`#quadrant-${id}-source`, '');
		assert.equal(await text('#audio-source'), 'No input chosen');
		await blocked('#quadrant-1-source', '#layout-error', 'Choose an input for at least one quadrant.', 'Choose an input to start');
		await page.selectOption('#quadrant-1-source', cardId);
		await page.waitForSelector('#layout-error', { state: 'hidden', timeout: PATIENCE_MS });

		await page.fill('#srt-host-port', '');
		await hostPort('Enter the receiver\'s address as host:port, for example 203.0.113.10:9000.', 'Enter the receiver\'s host:port to start');
		await page.fill('#srt-host-port', 'receiver.example');
		await hostPort('Add the receiver\'s port after the host, for example receiver.example:9000.');
		await page.fill('#srt-host-port', 'receiver.example:99999');
		await hostPort('The port "99999" is not a port number: a port is a number from 1 to 65535.');
		await page.fill('#srt-host-port', 'receiver.example:0');
		await hostPort('The port "0" is not a port number');
		await page.fill('#srt-host-port', 'receiver example:9000');
		await hostPort('The receiver\'s address cannot contain spaces.');
		await page.fill('#srt-host-port', 'udp://receiver.example:9000');
		await hostPort('The encoder sends to SRT receivers only');
		await page.fill('#srt-host-port', '10.0.0.300:9000');
		await hostPort('"10.0.0.300" is not an IP address');

		// A pasted SRT address goes into its fields.
		await page.fill('#srt-host-port', `srt://127.0.0.1:${srtPort}?mode=caller&streamid=studio-a&latency=200&passphrase=pasted-secret-1`);
		await waitForText('#message', 'The pasted SRT address was taken apart into its fields.');
		assert.equal(await page.inputValue('#srt-host-port'), `127.0.0.1:${srtPort}`);
		assert.equal(await page.inputValue('#srt-stream-id'), 'studio-a');
		assert.equal(await page.inputValue('#srt-latency'), '200');
		assert.equal(await page.inputValue('#srt-passphrase'), 'pasted-secret-1');
		await page.waitForSelector('#srt-host-port-error', { state: 'hidden', timeout: PATIENCE_MS });

		await page.fill('#srt-latency', '12O');
		await blocked('#srt-latency', '#srt-latency-error', 'Latency takes digits only: a whole number of milliseconds, such as 120.', 'Check the latency');
		// SRT's handshake carries 16 bits of latency: more would reach the receiver cut short.
		await page.fill('#srt-latency', '99999');
		await blocked('#srt-latency', '#srt-latency-error', 'SRT takes a latency of 0 to 65535 ms', 'Check the latency');
		await page.fill('#srt-latency', '65535');
		await page.waitForSelector('#srt-latency-error', { state: 'hidden', timeout: PATIENCE_MS });
		await page.fill('#srt-latency', '120');
		await page.fill('#srt-passphrase', 'short');
		await blocked('#srt-passphrase', '#srt-passphrase-error', 'An SRT passphrase has 10 to 79 characters', 'Check the passphrase');
		await page.fill('#srt-passphrase', '');
		await page.waitForSelector('#start-reason', { state: 'hidden', timeout: PATIENCE_MS });
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.getAttribute('#srt-passphrase', 'aria-invalid'), null);
		await page.press('#srt-host-port', 'Enter');
		assert.equal(startRequests.length, requestsBefore, 'nothing above sent a start request, Enter included');

		// The stream ID within the server's limits: 512 bytes, no control characters.
		assert.equal(await page.getAttribute('#srt-stream-id', 'maxlength'), '512');
		await page.fill('#srt-stream-id', '\u00e9'.repeat(300));
		await blocked('#srt-stream-id', '#srt-stream-id-error', 'The stream ID is too long: SRT allows at most 512 bytes.', 'Check the stream ID');
		await page.fill('#srt-stream-id', 'a\u0007b');
		await blocked('#srt-stream-id', '#srt-stream-id-error', 'The stream ID cannot contain control characters.', 'Check the stream ID');
		await page.fill('#srt-stream-id', '');
		await page.waitForSelector('#start-reason', { state: 'hidden', timeout: PATIENCE_MS });
		assert.equal(startRequests.length, requestsBefore, 'nothing the page refused was sent');

		// What the server refuses comes back in the same words, its own text one click away
		// (a stream ID the page would not send, put into the request on its way).
		await page.route('**/api/stream/start', (route) => route.continue({
			postData: JSON.stringify({ ...route.request().postDataJSON(), srtStreamId: 'x'.repeat(513) }),
		}));
		await page.click('#start-button');
		await waitForText('#message', 'Check the stream ID: at most 512 bytes, without control characters.');
		await page.unroute('**/api/stream/start');
		assert.match(await text('#message-headline'), /The stream was not started/);
		assert.equal(await page.getAttribute('#srt-stream-id', 'aria-invalid'), 'true', 'the field the server refused is marked');
		assert.equal(startRequests.length, requestsBefore + 1);
		await page.click('#message-technical summary');
		await waitForText('#message-technical-text', 'The server answered: Field srtStreamId must be at most 512 bytes long');
		await page.fill('#srt-stream-id', 'studio-a');

		// The same input twice asks first; declining sends nothing.
		await page.selectOption('#quadrant-2-source', 'test-1');
		await page.selectOption('#quadrant-3-source', 'test-1');
		await page.click('#start-button');
		await page.waitForSelector('#confirm-dialog[open]', { timeout: PATIENCE_MS });
		assert.equal(await text('#confirm-title'), 'Use one input in two quadrants?');
		assert.match(await text('#confirm-text'), /^Test Input 1 \(640x360p25\) is in Q2 and Q3\./);
		assert.equal(await page.evaluate(() => document.activeElement.id), 'confirm-cancel', 'the safe answer has the focus');
		await page.click('#confirm-cancel');
		await page.waitForSelector('#confirm-dialog', { state: 'hidden', timeout: PATIENCE_MS });
		assert.equal(startRequests.length, requestsBefore + 1, 'declining sent nothing');
		assert.equal(await text('#stream-state-text'), 'IDLE');
	});

	test('the limits the page checks are the server\'s, from its configuration', async () => {
		await context.route('**/api/config', async (route) => {
			const response = await route.fetch();
			const config = await response.json();
			assert.deepEqual(config.limits, { srtHostNameMaxLength: 253, srtLatencyMaxMs: 65535, srtPassphraseMaxLength: 79,
				srtPassphraseMinLength: 10, srtPortMax: 65535, srtPortMin: 1, srtStreamIdMaxBytes: 512 });
			Object.assign(config.limits, { srtHostNameMaxLength: 8, srtLatencyMaxMs: 1000, srtPortMax: 9999 });
			await route.fulfill({ response, json: config });
		});
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
		const hostPortBefore = await page.inputValue('#srt-host-port');
		await page.fill('#srt-host-port', 'receiver1:9000');
		await waitForText('#srt-host-port-error', 'A host name has at most 8 characters.');
		await page.fill('#srt-host-port', 'receiver:10000');
		await waitForText('#srt-host-port-error', 'The port "10000" is not a port number: a port is a number from 1 to 9999.');
		await page.fill('#srt-latency', '1001');
		await waitForText('#srt-latency-error', 'SRT takes a latency of 0 to 1000 ms');
		await page.fill('#srt-latency', '120');
		await page.fill('#srt-host-port', hostPortBefore);
		await context.unroute('**/api/config');
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
	});

	test('no listener: CONNECTING, then FAILED with the reason, never ON AIR', async () => {
		await page.selectOption('#quadrant-2-source', 'test-2');
		await page.selectOption('#quadrant-3-source', 'test-3');
		await page.selectOption('#quadrant-4-source', '');
		await page.fill('#srt-host-port', `127.0.0.1:${deadPort}`);
		await page.fill('#srt-stream-id', '');

		// Reconnecting automatically, the encoder keeps calling, and says so.
		await resetStateHistory();
		await page.click('#start-button');
		await waitForText('#stream-state-detail', 'attempt 2 failed');
		await waitForText('#message-headline', `The receiver at 127.0.0.1:${deadPort} does not answer yet.`);
		assert.equal(await text('#stream-state-text'), 'CONNECTING');
		await page.click('#stop-button');
		await page.click('#confirm-accept');
		await waitForState('STOPPED');
		assert.equal((await stateHistory()).includes('ON AIR'), false);

		await page.uncheck('#srt-reconnect');
		await resetStateHistory();
		await page.click('#start-button');
		await waitForState('FAILED');
		assert.equal(startRequests.at(-1).srtReconnect, false);
		const history = await stateHistory();
		assert.ok(history.includes('CONNECTING'), `CONNECTING before FAILED: ${history.join(' > ')}`);
		assert.ok(history.indexOf('CONNECTING') < history.indexOf('FAILED'), history.join(' > '));
		assert.equal(history.includes('ON AIR'), false, `never ON AIR: ${history.join(' > ')}`);
		assert.equal(await page.title(), 'FAILED - TILORAN');
		assert.equal(await text('#message-detail'), `The receiver at 127.0.0.1:${deadPort} did not answer (SRT connection failed)`);
		assert.deepEqual(await page.evaluate(() => window.tallyDetails), [''], 'no call goes on without reconnection');
		assert.equal(await page.isVisible('#message-technical-text'), false, 'the technical text is one click away');
		assert.equal(await page.isEnabled('#start-button'), true);
		await screenshot('failed');
		await page.click('#message-technical summary');
		await waitForText('#message-technical-text', `SRT connection to 127.0.0.1:${deadPort} failed`);
		assert.match(await text('#message-technical-text'), /Failed to open SRT output/);
	});

	// The product's goal is the reason on screen within 3 s of the first
	// refusal; the bound here is the same, since the page needs only one read
	// after the refusal, and the old page showed the wrong advice for ever.
	test('with reconnection on, a refused passphrase and an unknown host say so within 3 s, and the log and the banner count the same attempts', async () => {
		const guardedPort = await freeUdpPort();
		const guarded = spawn('srt-live-transmit', ['-q', `srt://127.0.0.1:${guardedPort}?mode=listener&passphrase=the-right-passphrase`,
			'file://con'], { stdio: ['ignore', 'ignore', 'ignore'] });
		try {
			await page.selectOption('#quadrant-4-source', '');
			await page.check('#srt-reconnect');
			await page.fill('#srt-passphrase', 'a-wrong-passphrase');
			await page.fill('#srt-host-port', `127.0.0.1:${guardedPort}`);
			// Each of the page's reads: the banner's attempt and the highest attempt to this receiver in the log
			// (the runs before called others), drawn together.
			const reads = [];
			const readShown = () => page.evaluate((peer) => {
				const numbers = [...document.querySelectorAll('#activity-log li span:last-child')]
					.map((item) => new RegExp(`^SRT connection attempt (\\d+) to ${peer} failed`).exec(item.textContent))
					.filter((match) => match).map((match) => Number(match[1]));
				const detail = document.getElementById('message-detail').textContent;
				const banner = /\(attempt (\d+) failed\)/.exec(detail);
				return { log: numbers.length ? Math.max(...numbers) : 0, banner: banner ? Number(banner[1]) : 0,
					tally: document.getElementById('stream-state-detail').textContent, detail,
					headline: document.getElementById('message-headline').textContent };
			}, `127.0.0.1:${guardedPort}`);
			await resetStateHistory();
			await page.click('#start-button');
			// libsrt tells the worker that the passphrase was what the receiver refused.
			await waitForText('#message-headline', `The receiver at 127.0.0.1:${guardedPort} refuses the passphrase.`, PATIENCE_MS);
			const refusedShownAt = Date.now();
			const firstRefusal = await runEvent(/^SRT connection attempt 1 to \S+ failed: /);
			assert.ok(firstRefusal, 'the log numbers the first call');
			const refusedAfter = (refusedShownAt - Date.parse(firstRefusal.at)) / 1000;
			console.log(`A refused passphrase was on screen ${refusedAfter.toFixed(2)} s after the first refusal`);
			assert.ok(refusedAfter < 3, `the refusal showed ${refusedAfter} s after it came`);
			assert.match(await text('#message-detail'), /Check the passphrase: it must be the one the receiver expects/);
			await screenshot('refused');
			await checkAccessibility('refused');

			// Five failed attempts, read after read: the banner says the number the log says.
			await waitFor(async () => {
				await answerTo('/api/stream/stats');
				await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(resolve)));
				const shown = await readShown();
				reads.push(shown);
				return shown.log >= 5;
			}, PATIENCE_MS, 'five failed attempts');
			for (const shown of reads) {
				assert.equal(shown.banner, shown.log, `the banner and the log agree: ${JSON.stringify(shown)}`);
				assert.equal(shown.tally, `attempt ${shown.log} failed`, JSON.stringify(shown));
			}
			const numbers = reads.map((shown) => shown.banner);
			assert.deepEqual(numbers, [...numbers].sort((a, b) => a - b), `the count never falls back: ${numbers.join(' ')}`);
			const log = await text('#activity-log');
			assert.equal(log.includes('On air'), false, 'no "On air" while no receiver takes the stream');
			assert.equal((await stateHistory()).includes('ON AIR'), false);
			await page.click('#stop-button');
			await page.click('#confirm-accept');
			await waitForState('STOPPED');

			await page.fill('#srt-passphrase', '');
			await page.fill('#srt-host-port', 'studio.invalid:9000');
			await page.click('#start-button');
			await waitForText('#message-headline', 'The receiver\'s host name studio.invalid was not found.', PATIENCE_MS);
			const unresolvedShownAt = Date.now();
			const firstFailure = await runEvent(/^SRT connection attempt 1 to \S+ failed: /);
			assert.ok(firstFailure, 'the log numbers the first call');
			const unresolvedAfter = (unresolvedShownAt - Date.parse(firstFailure.at)) / 1000;
			console.log(`An unknown host was on screen ${unresolvedAfter.toFixed(2)} s after the first failure`);
			assert.ok(unresolvedAfter < 3, `the unknown host showed ${unresolvedAfter} s after the failure`);
			assert.match(await text('#message-detail'), /Check the spelling of the host name/);
			await checkAccessibility('host not found');
			await page.click('#stop-button');
			await page.click('#confirm-accept');
			await waitForState('STOPPED');
		} finally {
			await stopChild(guarded, 'SIGKILL');
			// The tests after this one start from a page with nothing running.
			if ((await stats()).running) {
				await api('POST', '/api/stream/stop');
				await waitForState('STOPPED');
			}
			await page.fill('#srt-passphrase', '');
		}
	});

	test('an encoder this machine lacks: FAILED, and which encoder to choose', async () => {
		await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		await page.check('#srt-reconnect');
		// As a page would that did not know: the encoder offered, the worker left to find out.
		await page.$eval('#codec', (select) => select.querySelectorAll('option').forEach((option) => { option.disabled = false; }));
		await page.selectOption('#codec', { label: 'Intel H264 (not available on this machine)' });
		await resetStateHistory();
		await page.click('#start-button');
		await waitForText('#message-detail', 'This machine has no Intel hardware encoder: choose Software H264');
		await waitForState('FAILED');
		assert.equal((await stateHistory()).includes('ON AIR'), false);
		await page.selectOption('#codec', { label: 'Software H264' });
	});

	test('on air: the chosen layout streams, with live link figures, input health and meters that follow the statistics', async () => {
		await page.selectOption('#quadrant-1-source', cardId);
		await page.selectOption('#quadrant-2-source', 'test-2');
		await page.selectOption('#quadrant-3-source', 'test-3');
		await page.selectOption('#quadrant-4-source', '');
		await page.fill('#quadrant-2-name', 'Camera left');
		await page.fill('#srt-stream-id', 'studio-a');
		await page.selectOption('#video-bitrate', { label: '12 Mbps' });
		await page.selectOption('#audio-bitrate', { label: '192 kbps' });
		await page.selectOption('#audio-channels', { label: '3 and 4' });
		assert.equal(await text('#audio-source'), `Audio and timing from Q1 Quadrant 1 (${cardName})`);

		const requestsBefore = startRequests.length;
		await resetStateHistory();
		// A further destination that nobody takes: the page lists it beside the main receiver, calling.
		await page.route('**/api/stream/start', (route) => route.continue({
			postData: JSON.stringify({ ...route.request().postDataJSON(), outputs: [{ srtHostPort: `127.0.0.1:${deadPort}`, srtReconnect: true }] }),
		}));
		await page.click('#start-button');
		await waitForState('ON AIR');
		await page.unroute('**/api/stream/start');
		const history = await stateHistory();
		assert.ok(history.indexOf('CONNECTING') >= 0 && history.indexOf('CONNECTING') < history.indexOf('ON AIR'), history.join(' > '));
		assert.equal(await page.title(), 'ON AIR - TILORAN');
		assert.equal(startRequests.length, requestsBefore + 1);
		assert.deepEqual(startRequests.at(-1), {
			srtHostPort: `127.0.0.1:${srtPort}`,
			srtStreamId: 'studio-a',
			srtPassphrase: '',
			srtLatency: 120,
			srtReconnect: true,
			videoBitrate: 12,
			adaptiveBitrate: true,
			audioBitrate: 192,
			audioChannels: [3, 4],
			codec: 'libx264',
			quadrants: [
				{ id: 1, name: 'Quadrant 1', source_id: cardId },
				{ id: 2, name: 'Camera left', source_id: 'test-2' },
				{ id: 3, name: 'Quadrant 3', source_id: 'test-3' },
			],
		});
		const now = await stats();
		assert.equal(now.state, 'live');
		assert.equal(now.srt.state, 'connected');
		assert.equal(await page.isEnabled('#stop-button'), true);
		assert.equal(await page.isEnabled('#start-button'), false);
		assert.equal(await page.isEditable('#srt-host-port'), true, 'the form stays open for the next run');
		assert.equal(await page.locator('.not-on-air').count(), 0, 'the form holds what is on air');

		await page.waitForFunction(() => {
			const image = document.getElementById('preview-image');
			return !image.hidden && image.complete && image.naturalWidth > 0;
		}, null, { timeout: PATIENCE_MS, polling: 100 });
		assert.deepEqual(await page.$eval('#preview-image', (image) => [image.naturalWidth, image.naturalHeight]), [1280, 720]);
		await waitFor(() => srtBytes > 0, PATIENCE_MS, 'the SRT listener to receive the stream');
		assert.equal(srtFirstByte, 0x47, 'the listener receives MPEG-TS packets');
		await page.waitForFunction(() => document.querySelectorAll('#destination-list li').length === 2, null, { timeout: PATIENCE_MS });
		const destinations = await page.$$eval('#destination-list li', (items) => items.map((item) =>
			[...item.children].map((part) => part.textContent).concat(item.dataset.warn)));
		assert.deepEqual(destinations[0].slice(0, 2), ['Main', `127.0.0.1:${srtPort}`]);
		assert.match(destinations[0][2], /^connected · \d+\.\d\d Mbit\/s/);
		assert.deepEqual([destinations[1][0], destinations[1][1], destinations[1][3]], ['Output 1', `127.0.0.1:${deadPort}`, 'true']);
		assert.match(destinations[1][2], /^(calling|reconnecting)/);

		// Each input's signal and pace, on the editor and over the preview.
		await waitForText('#quadrant-1-signal', 'Signal · ');
		await waitForText('#quadrant-2-signal', 'Signal · ');
		assert.equal(await text('#quadrant-4-signal'), '', 'an empty quadrant has no signal line');
		await page.waitForFunction(() => /fps$/.test(document.querySelector('.tile-labels [data-slot="1"] i').textContent),
			null, { timeout: PATIENCE_MS });

		// The figures follow the statistics, and they change.
		const seen = { bitrate: new Set(), rtt: new Set() };
		await waitFor(async () => {
			const shown = await figuresMatchingStats();
			seen.bitrate.add(shown.bitrate);
			seen.rtt.add(shown.rtt);
			return seen.bitrate.size > 1 && seen.rtt.size > 1 && shown.left !== null && shown.latency !== null
				&& shown.fps !== null && shown.delayP50 !== null && shown.delayP99 !== null;
		}, PATIENCE_MS, 'the bitrate and the round-trip time to change, and the encoder\'s figures');
		// The encoder's own health: its pace, the pictures it dropped, the delay from capture to output.
		assert.match(await text('#figure-fps'), /^\d+\.\d fps$/);
		assert.match(await text('#figure-dropped'), /^\d+$/);
		assert.match(await text('#figure-delay-p50'), /^\d+\.\d ms$/);
		assert.match(await text('#figure-delay-p99'), /^\d+\.\d ms$/);
		assert.equal(await page.$eval('#figure-rtt', (element) => element.dataset.old), 'false');
		assert.equal((await shownFigures()).latency, 120, 'the latency both sides settled on');
		assert.deepEqual(seenStats.at(-1).audio.sourceChannels, [3, 4]);
		assert.equal(await text('#meters-channels'), '· channels 3 and 4', 'the meters measure the chosen channels');
		assert.match(await text('#figure-uptime'), /^0:00:\d\d$/);
		assert.ok(await page.$eval('#bitrate-sparkline polyline', (line) => line.getAttribute('points').split(' ').length >= 2));

		// The master loses its signal: silence on both meters, NO SIGNAL on its quadrant; then back.
		const toneLevel = (await shownFigures()).left.peak;
		assert.ok(toneLevel > -60, `the master's tone reads ${toneLevel} dBFS`);
		fs.appendFileSync(controlFile, '1 nosignal 6\n');
		await waitFor(async () => {
			const shown = await figuresMatchingStats();
			return shown.left.peak <= -120 && shown.right.peak <= -120;
		}, PATIENCE_MS, 'the meters to show the master\'s silence');
		assert.match(await text('#meter-left-values'), /silence/);
		await waitForText('#quadrant-1-signal', 'No signal');
		await waitForText('.tile-labels [data-slot="0"] i', 'NO SIGNAL');
		await waitFor(async () => {
			const shown = await figuresMatchingStats();
			return shown.left.peak > -60 && shown.right.peak > -60;
		}, PATIENCE_MS, 'the meters to show the tone again');
		await waitForText('#quadrant-1-signal', 'Signal · ');
		assert.equal(await text('#stream-state-text'), 'ON AIR', 'an input without signal does not take the stream off air');

		await measureContrast('on-air state', '#stream-state-text');
		await measureContrast('stop button', '#stop-button');
		await measureContrast('field while on air', '#srt-host-port');
		await measureContrast('disabled start button', '#start-button');
		await measureContrast('link figure', '#figure-rtt');
		await measureContrast('activity time', '#activity-log time');
		await measureContrast('activity origin', '#activity-log .activity-origin');
		await measureContrast('signal line', '#quadrant-2-signal');
		await answerTo('/api/preview');
		await screenshot('on-air');
		await checkAccessibility('on-air');
	});

	test('receiver killed with reconnection on: RECONNECTING, then ON AIR again with the reconnect counted', async () => {
		await resetStateHistory();
		const bytesBefore = srtBytes;
		await stopChild(listener, 'SIGKILL');
		await waitForState('RECONNECTING');
		await waitForText('#stream-state-detail', 'attempt');
		await waitForText('#message-headline', `The link to the receiver at 127.0.0.1:${srtPort} is down.`);
		assert.equal(await page.title(), 'RECONNECTING - TILORAN');
		// What SRT measured on the lost connection stays, marked old with its age.
		await page.waitForSelector('#figure-rtt[data-old="true"]', { timeout: PATIENCE_MS });
		assert.notEqual(await text('#figure-rtt'), '—', 'the last round trip stays');
		assert.match(await text('#figure-rtt-age'), /^\d+ s old$/);
		assert.equal(await page.$eval('#figure-latency', (element) => element.dataset.old), 'true');
		assert.equal(await page.$eval('#figure-fps', (element) => element.dataset.old), 'false', 'the encoder goes on');
		await measureContrast('reconnecting state', '#stream-state-text');
		await measureContrast('old figure', '#figure-rtt');
		await measureContrast('figure age', '#figure-rtt-age');
		await screenshot('reconnecting', '#health-panel');
		await checkAccessibility('reconnecting');
		// The loss counts while the link is still down.
		await waitForText('#figure-outages', '1');

		listener = startListener();
		await waitForState('ON AIR');
		const history = await stateHistory();
		assert.deepEqual(history.slice(0, 3), ['ON AIR', 'RECONNECTING', 'ON AIR'], history.join(' > '));
		assert.equal((await stats()).srt.reconnects, 1);
		await waitFor(async () => (await figuresMatchingStats()).outages === 1, PATIENCE_MS, 'the loss to be counted');
		assert.equal(await text('#figure-outages'), '1');
		await page.waitForSelector('#figure-rtt[data-old="false"]', { timeout: PATIENCE_MS });
		assert.equal(await text('#figure-rtt-age'), '', 'current again');
		assert.equal(await page.isVisible('#message'), false, 'the outage message goes once the link is back');
		await waitFor(() => srtBytes > bytesBefore, PATIENCE_MS, 'the new listener to receive the stream');
	});

	test('stop asks first: Enter or Space on Stop alone does not end the stream', async () => {
		const stopsBefore = stopRequests.length;
		await page.focus('#stop-button');
		await page.keyboard.press('Enter');
		await page.waitForSelector('#confirm-dialog[open]', { timeout: PATIENCE_MS });
		assert.equal(await text('#confirm-title'), 'End the stream?');
		assert.equal(await text('#confirm-text'), `The receiver at 127.0.0.1:${srtPort} stops getting pictures and sound.`);
		assert.equal(await page.evaluate(() => document.activeElement.id), 'confirm-cancel');
		await page.keyboard.press('Enter');
		await page.waitForSelector('#confirm-dialog', { state: 'hidden', timeout: PATIENCE_MS });

		await page.focus('#stop-button');
		await page.keyboard.press('Space');
		await page.waitForSelector('#confirm-dialog[open]', { timeout: PATIENCE_MS });
		await page.keyboard.press('Space');
		await page.waitForSelector('#confirm-dialog', { state: 'hidden', timeout: PATIENCE_MS });

		await page.click('#stop-button');
		await page.waitForSelector('#confirm-dialog[open]', { timeout: PATIENCE_MS });
		await page.keyboard.press('Escape');
		await page.waitForSelector('#confirm-dialog', { state: 'hidden', timeout: PATIENCE_MS });

		await statsPollsHandled();
		assert.equal(stopRequests.length, stopsBefore, 'no stop request went out');
		assert.equal((await stats()).running, true);
		assert.equal(await text('#stream-state-text'), 'ON AIR');

		await page.click('#stop-button');
		await page.click('#confirm-accept');
		await waitForState('STOPPED');
		await waitForText('#message', 'Stream stopped.');
		assert.equal(stopRequests.length, stopsBefore + 1);
		assert.equal(await page.title(), 'STOPPED - TILORAN');
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isDisabled('#srt-host-port'), false);
		assert.equal(await page.isVisible('#preview-image'), true, 'the last picture stays');
		assert.equal(await text('#preview-badge'), 'Last picture');
		await waitFor(() => workerProcesses(server.pid).length === 0, PATIENCE_MS, 'the worker process to end');
	});

	test('the log comes from the server and survives a reload, beside the page\'s own lines', async () => {
		await page.reload();
		await waitForState('STOPPED');
		await waitForText('#activity-log', 'SRT connection restored');
		const lines = await page.$$eval('#activity-log li', (items) => items.map((item) =>
			`${item.dataset.origin}: ${item.querySelector('span:last-child').textContent}`));
		for (const expected of [
			/^server: Worker started \(PID \d+\)$/,
			/^server: SRT connection lost: .*; reconnecting$/,
			/^server: SRT connection restored after [\d.]+ s \(attempt \d+\)$/,
			/^server: Stream ended: Failed to open SRT output/,
			/^server: Stream ended: Failed to open encoder 'h264_qsv'/,
			/^server: Stop requested$/,
			/^page: Stop sent$/,
			/^page: Start sent: 3 of 4 quadrants to 127\.0\.0\.1:\d+, reconnecting automatically$/,
		])
			assert.ok(lines.some((line) => expected.test(line)), `the log has ${expected}: ${lines.join(' | ')}`);
		assert.ok(lines.length > 12, `more than twelve lines are kept (${lines.length})`);
		// An event's code explains it, for a pointer resting on it; the page's own lines have none.
		const titles = await page.$$eval('#activity-log li', (items) => items.map((item) =>
			[item.dataset.origin, item.querySelector('span:last-child').textContent, item.querySelector('span:last-child').title]));
		const restored = titles.find(([, words]) => words.startsWith('SRT connection restored after'));
		assert.match(restored[2], /^The receiver at 127\.0\.0\.1:\d+ takes the stream again$/);
		assert.ok(titles.filter(([origin]) => origin === 'page').every(([, , title]) => title === ''), 'no title on the page\'s lines');
		assert.equal(await page.isVisible('#message'), false, 'no stale message after a reload');
	});

	test('receiver killed with reconnection off: FAILED with the reason', async () => {
		await page.uncheck('#srt-reconnect');
		const bytesBefore = srtBytes;
		await page.click('#start-button');
		await waitForState('ON AIR');
		await waitFor(() => srtBytes > bytesBefore, PATIENCE_MS, 'the listener to receive the stream');
		await resetStateHistory();
		// Off ON AIR within 2 s: the worker gives the receiver up after about
		// a second unacknowledged, and a running stream is read four times a
		// second (about 1.5 s on a loaded machine; a page that read once a
		// second took 2.05 to 2.1 s). A sanitizer build runs several times
		// slower than real time: there only a receiver that is never given
		// up is a fault.
		const offAirBoundS = PROGRAMS_BEHIND_REAL_TIME ? 10 : 2;
		const killedAt = Date.now();
		await stopChild(listener, 'SIGKILL');
		try {
			await page.waitForFunction(() => document.getElementById('stream-state-text').textContent !== 'ON AIR', null,
				{ timeout: PATIENCE_MS, polling: 50 });
			const offAirAfter = (Date.now() - killedAt) / 1000;
			console.log(`A killed receiver without reconnection: off ON AIR ${offAirAfter.toFixed(2)} s after the kill`);
			assert.ok(offAirAfter < offAirBoundS, `ON AIR for ${offAirAfter} s after the receiver died`);
			await waitForState('FAILED');
			console.log(`... and FAILED ${((Date.now() - killedAt) / 1000).toFixed(2)} s after the kill`);
			assert.equal((await stateHistory()).includes('RECONNECTING'), false);
			assert.equal(await text('#message-detail'), `The connection to the receiver at 127.0.0.1:${srtPort} was lost (SRT connection lost)`);
			await page.click('#message-technical summary');
			await waitForText('#message-technical-text', 'SRT connection lost');
		} finally {
			// The cases after this one need a receiver again, whatever failed here.
			listener = startListener();
			await page.check('#srt-reconnect');
		}
	});

	test('receivers that call in: the form asks who calls whom, and the page lists each receiver as it joins', async () => {
		await page.selectOption('#srt-mode', 'listener');
		assert.equal(await text('#srt-host-port-label'), 'Listen on host:port');
		assert.deepEqual([await page.isVisible('#srt-stream-id'), await page.isVisible('#srt-reconnect'),
			await page.isVisible('#srt-max-callers')], [false, false, true]);
		const listenPort = await freeUdpPort();
		await page.fill('#srt-host-port', `127.0.0.1:${listenPort}`);
		await page.fill('#srt-max-callers', '17');
		await waitForText('#start-reason', 'Check how many receivers may call in');
		await page.fill('#srt-max-callers', '2');
		await page.fill('#srt-allowed-stream-ids', 'studio-a, studio-b');
		await page.click('#start-button');
		await waitForState('ON AIR');
		assert.deepEqual(startRequests.at(-1).srtMode, 'listener');
		assert.deepEqual([startRequests.at(-1).srtMaxCallers, startRequests.at(-1).srtAllowedStreamIds], [2, ['studio-a', 'studio-b']]);
		assert.equal('srtReconnect' in startRequests.at(-1), false);
		await waitForText('#stream-state-detail', 'no receiver yet');
		let received = 0;
		const caller = spawn('srt-live-transmit', ['-q', `srt://127.0.0.1:${listenPort}?mode=caller&streamid=studio-b`, 'file://con'],
			{ stdio: ['ignore', 'pipe', 'ignore'] });
		caller.stdout.on('data', (chunk) => { received += chunk.length; });
		try {
			await waitForText('#stream-state-detail', '1 receiver');
			await waitFor(() => received > 0, PATIENCE_MS, 'the receiver that called in to get the stream');
			await page.waitForFunction(() => /^receiving/.test(document.querySelector('#destination-list li:nth-child(2) .destination-state')?.textContent || ''),
				null, { timeout: PATIENCE_MS });
			const rows = await page.$$eval('#destination-list li', (items) => items.map((item) =>
				[...item.children].slice(0, 2).map((part) => part.textContent)));
			assert.deepEqual(rows[0], ['Listening', `127.0.0.1:${listenPort}`]);
			assert.equal(rows[1][0], 'Receiver 1');
			assert.match(rows[1][1], /^127\.0\.0\.1:\d+ \(studio-b\)$/);
			await checkAccessibility('listening');
		} finally {
			await stopChild(caller);
			await page.click('#stop-button');
			await page.click('#confirm-accept');
			await waitForState('STOPPED');
			await page.selectOption('#srt-mode', 'caller');
			await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		}
	});

	test('a worker ended from outside shows as FAILED with the reason', async () => {
		// Read in the moment the state turns to CONNECTING: the page asks for a
		// new picture only after the server has said that the worker runs.
		await page.evaluate(() => {
			window.badgeWhenConnecting = null;
			const tally = document.getElementById('stream-state-text');
			const observer = new MutationObserver(() => {
				if (tally.textContent !== 'CONNECTING')
					return;
				window.badgeWhenConnecting = document.getElementById('preview-badge').checkVisibility();
				observer.disconnect();
			});
			observer.observe(tally, { childList: true, characterData: true, subtree: true });
		});
		await page.click('#start-button');
		await waitForState('ON AIR');
		assert.equal(await page.evaluate(() => window.badgeWhenConnecting), true, 'the old picture stays marked until a new one comes');
		await page.waitForSelector('#preview-badge', { state: 'hidden', timeout: PATIENCE_MS });
		let workers = [];
		await waitFor(() => (workers = workerProcesses(server.pid)).length === 1, PATIENCE_MS, 'the worker process');
		process.kill(workers[0], 'SIGKILL');
		await waitForState('FAILED');
		assert.equal(await text('#message-detail'), 'The media worker was ended from outside the encoder (exit code 137)');
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isEnabled('#stop-button'), false);
		// A caller that vanished holds srt-live-transmit until its own time-out: a new listener takes the next call.
		await stopChild(listener, 'SIGKILL');
		listener = startListener();
	});

	test('a stream started and stopped by another client shows its settings and its end', async () => {
		const started = await api('POST', '/api/stream/start', {
			srtHostPort: `127.0.0.1:${srtPort}`, srtStreamId: 'other-client', srtLatency: 300,
			videoBitrate: 20, audioBitrate: 256, codec: 'libx264',
			quadrants: [{ id: 4, name: 'Overview', source_id: 'test-3' }, { id: 1, name: 'Quadrant 1', source_id: 'test-4' }],
		});
		assert.equal(started.status, 200, started.body);
		await waitForState('ON AIR');
		await waitForText('#activity-log', 'the form shows its settings');
		assert.equal(await page.inputValue('#quadrant-1-source'), 'test-4');
		assert.equal(await page.inputValue('#quadrant-1-name'), '');
		assert.equal(await page.inputValue('#quadrant-2-source'), '');
		assert.equal(await page.inputValue('#quadrant-3-source'), '');
		assert.equal(await page.inputValue('#quadrant-4-source'), 'test-3');
		assert.equal(await page.inputValue('#quadrant-4-name'), 'Overview');
		assert.equal(await page.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent), '20 Mbps');
		assert.equal(await page.$eval('#audio-bitrate', (select) => select.selectedOptions[0].textContent), '256 kbps');
		assert.equal(await page.inputValue('#srt-stream-id'), 'other-client');
		assert.equal(await page.inputValue('#srt-latency'), '300');
		assert.equal(await page.isChecked('#srt-reconnect'), false, 'a start without "srtReconnect" does not reconnect');
		assert.equal(await page.isEnabled('#stop-button'), true);
		assert.equal(await text('#audio-source'), 'Audio and timing from Q4 Overview (Test Input 3 (640x360p25))',
			'the worker takes the audio from the first listed quadrant');

		assert.equal((await api('POST', '/api/stream/stop')).status, 200);
		await waitForState('STOPPED');
		await waitForText('#message', 'It was not stopped from this page');
		assert.match(await text('#audio-source'), /^Audio and timing from Q1 /, 'a start from this page lists the quadrants in slot order');
	});

	test('a stop and a start by another client between two reads replace what both open pages show', async () => {
		const second = await context.newPage();
		// While frozen, both pages read the answer of the run before, as if no read fell between the stop and the start.
		let frozen = null;
		await context.route('**/api/stream/stats', (route) => (frozen === null ? route.continue()
			: route.fulfill({ status: 200, contentType: 'application/json', body: frozen })));
		try {
			await second.goto(baseUrl);
			const pages = [page, second];
			const form = (shown) => Promise.all(['#srt-stream-id', '#quadrant-1-name', '#quadrant-3-source', '#quadrant-4-source']
				.map((selector) => shown.inputValue(selector)).concat(
					shown.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent)));
			const showing = async (expected) => {
				for (const shown of pages) {
					await waitFor(async () => JSON.stringify(await form(shown)) === JSON.stringify(expected), PATIENCE_MS,
						`the page to show ${expected.join(', ')} (it shows ${(await form(shown)).join(', ')})`);
				}
			};
			const base = { srtHostPort: `127.0.0.1:${srtPort}`, audioBitrate: 128, codec: 'libx264', srtReconnect: true };
			let answer = await api('POST', '/api/stream/start', { ...base, srtStreamId: 'feed-a', videoBitrate: 12,
				quadrants: [1, 2, 3, 4].map((id) => ({ id, name: id === 1 ? 'Studio' : `Quadrant ${id}`, source_id: `test-${id}` })) });
			assert.equal(answer.status, 200, answer.body);
			await showing(['feed-a', 'Studio', 'test-3', 'test-4', '12 Mbps']);
			const before = await stats();

			frozen = (await api('GET', '/api/stream/stats')).body;
			assert.equal((await api('POST', '/api/stream/stop')).status, 200);
			await waitFor(async () => !(await stats()).running, PATIENCE_MS, 'the first run to end');
			answer = await api('POST', '/api/stream/start', { ...base, videoBitrate: 8,
				quadrants: [{ id: 1, name: 'Quadrant 1', source_id: 'test-2' }, { id: 2, name: 'Quadrant 2', source_id: 'test-1' }] });
			assert.equal(answer.status, 200, answer.body);
			const after = await stats();
			assert.ok(after.running && after.run.id !== before.run.id, `a new run: ${before.run.id}, then ${after.run.id}`);
			assert.equal(after.run.settings.srt.passphrase, '', 'no secret to hide');
			frozen = null;

			await showing(['', '', '', '', '8 Mbps']);
			for (const shown of pages) {
				assert.equal(await shown.inputValue('#quadrant-1-source'), 'test-2');
				assert.equal(await shown.inputValue('#quadrant-2-source'), 'test-1');
			}

			// Changed here for the next run: marked on this page alone, each mark tied to its field.
			const marks = (shown) => shown.$$eval('.not-on-air', (found) => found.map((mark) => {
				const fields = [...document.querySelectorAll('[aria-describedby]')]
					.filter((field) => field.getAttribute('aria-describedby').split(' ').includes(mark.id));
				return `${fields.map((field) => field.id).join('+')}: ${mark.textContent}`;
			}));
			const marked = async (expected) => waitFor(async () => JSON.stringify(await marks(page)) === JSON.stringify(expected),
				PATIENCE_MS, `the marks ${expected.join(', ')} (shown: ${(await marks(page)).join(', ')})`);
			await marked([]);
			await page.fill('#srt-stream-id', 'feed-b');
			await page.selectOption('#video-bitrate', { label: '12 Mbps' });
			await marked(['srt-stream-id: not on air: changed here', 'video-bitrate: not on air: changed here']);
			assert.deepEqual(await marks(second), []);
			await checkAccessibility('replaced run, changed here');
			await measureContrast('not on air mark', '#srt-stream-id-not-on-air');
			await page.fill('#srt-stream-id', '');
			await page.selectOption('#video-bitrate', { label: '8 Mbps' });
			await marked([]);
			assert.equal(await page.getAttribute('#srt-stream-id', 'aria-describedby'), 'srt-stream-id-error');
			assert.equal((await api('POST', '/api/stream/stop')).status, 200);
			await waitForState('STOPPED');
		} finally {
			frozen = null;
			await context.unroute('**/api/stream/stats');
			await second.close();
			if ((await stats()).running) {
				await api('POST', '/api/stream/stop');
				await waitForState('STOPPED');
			}
		}
	});

	test('the server killed: no contact within 5 s, the last figures and picture marked old; back, the page says the stream ended', async () => {
		await page.click('#start-button');
		await waitForState('ON AIR');
		await page.waitForSelector('#preview-badge', { state: 'hidden', timeout: PATIENCE_MS });
		await waitFor(async () => (await shownFigures()).fps !== null, PATIENCE_MS, 'the encoder\'s figures');
		let workers = [];
		await waitFor(() => (workers = workerProcesses(server.pid)).length === 1, PATIENCE_MS, 'the worker process');
		serverDown = true;
		const killedAt = Date.now();
		server.kill('SIGKILL');
		await waitForText('#message-headline', 'No contact with the encoder since', 5000);
		console.log(`The no-contact banner came ${((Date.now() - killedAt) / 1000).toFixed(2)} s after the kill`);
		assert.match(await text('#message-headline'), /^No contact with the encoder since \d\d:\d\d:\d\d: the stream may have stopped$/);
		assert.equal(await page.getAttribute('#message', 'data-kind'), 'error');
		assert.match(await text('#message-detail'), /^When it last answered, a stream was running\./);
		assert.equal(await text('#stream-state-text'), 'NO CONTACT');
		assert.equal(await page.title(), 'NO CONTACT - TILORAN');
		assert.match(await text('#server-health-text'), /^No contact since \d\d:\d\d:\d\d$/);
		assert.equal(await page.isEnabled('#start-button'), false, 'nothing to start while the server cannot be asked');
		assert.equal(await page.isEnabled('#stop-button'), false);
		assert.match(await text('#preview-badge'), /^No contact since \d\d:\d\d:\d\d: not the current picture$/);
		assert.equal(await page.isVisible('#preview-badge'), true);
		assert.equal(await page.getAttribute('#preview-frame', 'data-old'), 'true');
		await page.waitForSelector('#figure-fps[data-old="true"]', { timeout: PATIENCE_MS });
		assert.notEqual(await text('#figure-fps'), '—', 'the last figures stay, old');
		assert.equal(await page.$eval('#figure-rtt', (element) => element.dataset.old), 'true');
		await waitForText('#health-note', 'Last figures at');
		await measureContrast('no-contact banner', '#message-headline');
		await measureContrast('no-contact state', '#stream-state-text');
		await screenshot('no-contact');
		await checkAccessibility('no-contact');
		// The worker ends with its server.
		await waitFor(() => processEnded(workers[0]), PATIENCE_MS, 'the worker to end with the server');

		await startServer();
		await waitForState('IDLE');
		await waitForText('#server-health-text', 'Server online');
		serverDown = false;
		await waitForText('#message', 'The stream has ended: the server was restarted.');
		await waitForText('#activity-log', 'Server reachable again');
		assert.equal(await page.isEnabled('#start-button'), true);
		assert.equal(await page.isEnabled('#stop-button'), false);
		assert.equal(await page.title(), 'IDLE - TILORAN');
		assert.equal(await page.getAttribute('#preview-frame', 'data-old'), 'false');
		assert.equal(await text('#preview-badge'), 'Last picture');
	});

	test('the recordings are listed with their sizes and links to download them', async () => {
		await context.route('**/api/recordings', (route) => route.fulfill({ json: { recordings: [
			{ name: '20261209-130405_studio-a.ts', sizeBytes: 1534000, start: '2026-12-09T13:04:05Z', durationSeconds: 180.4 },
		] } }));
		await page.reload();
		await waitForText('#recordings-list', '20261209-130405_studio-a.ts');
		const row = await text('#recordings-list tr');
		assert.match(row, /1\.5 MB/);
		assert.match(row, /2026-12-09 13:04:05 UTC/);
		assert.match(row, /0:03:00/);
		assert.equal(await page.getAttribute('#recordings-list a', 'href'), '/api/recordings/20261209-130405_studio-a.ts');
		assert.equal(await page.isHidden('#recordings-empty'), true);
		await context.unroute('**/api/recordings');
	});

	test('the choices survive a reload, the passphrase excepted', async () => {
		// On a machine with every encoder, so that a hardware one can be the choice kept.
		await context.route('**/api/config', async (route) => {
			const response = await route.fetch();
			const config = await response.json();
			for (const codec of config.encoding.codecs)
				codec.available = true;
			await route.fulfill({ response, json: config });
		});
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
		await page.selectOption('#quadrant-1-source', '');
		await page.selectOption('#quadrant-2-source', 'test-2');
		await page.selectOption('#quadrant-4-source', 'test-1');
		await page.fill('#quadrant-2-name', 'Camera left');
		await page.fill('#quadrant-3-name', 'Wide shot');
		await page.fill('#srt-host-port', `127.0.0.1:${srtPort}`);
		await page.fill('#srt-stream-id', 'studio-a');
		await page.fill('#srt-latency', '250');
		await page.check('#srt-reconnect');
		await page.selectOption('#video-bitrate', { label: '12 Mbps' });
		await page.selectOption('#codec', { label: 'NVidia H264' });
		// The channels are chosen per master: a test input's sixteen, two by two.
		assert.equal((await page.$$('#audio-channels option')).length, 8);
		await page.selectOption('#audio-channels', { label: '5 and 6' });
		await page.fill('#srt-passphrase', 'not-kept-anywhere');
		await page.selectOption('#srt-mode', 'listener');
		await page.fill('#srt-max-callers', '3');
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
		assert.deepEqual([await page.inputValue('#srt-mode'), await page.inputValue('#srt-max-callers'), await text('#srt-host-port-label')],
			['listener', '3', 'Listen on host:port']);
		await page.selectOption('#srt-mode', 'caller');
		assert.equal(await page.inputValue('#quadrant-1-source'), '');
		assert.equal(await page.inputValue('#quadrant-2-source'), 'test-2');
		assert.equal(await page.inputValue('#quadrant-4-source'), 'test-1');
		assert.equal(await page.inputValue('#quadrant-2-name'), 'Camera left');
		assert.equal(await page.inputValue('#quadrant-3-name'), 'Wide shot');
		assert.equal(await page.inputValue('#srt-host-port'), `127.0.0.1:${srtPort}`);
		assert.equal(await page.inputValue('#srt-stream-id'), 'studio-a');
		assert.equal(await page.inputValue('#srt-latency'), '250');
		assert.equal(await page.isChecked('#srt-reconnect'), true);
		assert.equal(await page.$eval('#codec', (select) => select.selectedOptions[0].textContent), 'NVidia H264');
		assert.equal(await page.$eval('#video-bitrate', (select) => select.selectedOptions[0].textContent), '12 Mbps');
		assert.equal(await page.inputValue('#srt-passphrase'), '');
		const chosenChannels = () => page.$eval('#audio-channels', (select) => select.selectedOptions[0].textContent);
		assert.equal(await chosenChannels(), '5 and 6');
		await page.selectOption('#quadrant-1-source', cardId);
		assert.equal(await chosenChannels(), '3 and 4', 'the card as master brings back its own choice');
		await page.selectOption('#quadrant-1-source', '');
		assert.equal(await chosenChannels(), '5 and 6');
		const stored = await page.evaluate(() => JSON.stringify(localStorage) + JSON.stringify(sessionStorage));
		assert.equal(stored.includes('not-kept-anywhere'), false);

		// Back on this machine the kept choice gives way to the encoder it has.
		await context.unroute('**/api/config');
		await page.reload();
		await waitForText('#product-version', '0.5 BETA');
		assert.equal(await page.$eval('#codec', (select) => select.selectedOptions[0].textContent), 'Software H264');
		assert.equal(await page.inputValue('#srt-stream-id'), 'studio-a', 'the other choices stay');
	});

	test('on a phone the state, Start and Stop, the destination and the preview come first, and the state bar stays on screen', async () => {
		await page.setViewportSize(phone);
		await page.reload();
		await waitForState('IDLE');
		// A reload keeps the place the page was scrolled to; a first visit starts at the top.
		await page.evaluate(() => window.scrollTo(0, 0));
		await page.waitForFunction(() => window.scrollY === 0, null, { timeout: PATIENCE_MS });
		const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
		assert.equal(overflow, 0, 'no horizontal scrolling');
		for (const selector of ['#stream-state', '#start-button', '#stop-button', '#srt-host-port', '#preview-frame']) {
			const box = await page.locator(selector).boundingBox();
			assert.ok(box.y >= 0 && box.y + box.height <= phone.height, `${selector} is on the first screen (${JSON.stringify(box)})`);
		}
		await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
		await page.waitForFunction(() => window.scrollY > 1000, null, { timeout: PATIENCE_MS });
		for (const selector of ['#stream-state', '#start-button']) {
			const box = await page.locator(selector).boundingBox();
			assert.ok(box.y >= 0 && box.y + box.height <= phone.height, `${selector} stays on screen when scrolled (${JSON.stringify(box)})`);
		}
		assert.equal(await page.getByRole('button', { name: 'Start stream' }).count(), 1, 'the short label keeps its full name');
		await page.evaluate(() => window.scrollTo(0, 0));
		await page.setViewportSize(desktop);
	});

	test('fits a tablet screen and every control is reachable with the keyboard', async () => {
		await page.setViewportSize({ width: 768, height: 1024 });
		await page.reload();
		await waitForState('IDLE');
		const overflow = await page.evaluate(() => document.documentElement.scrollWidth - document.documentElement.clientWidth);
		assert.equal(overflow, 0, 'no horizontal scrolling');
		await page.screenshot({ path: path.join(artifactDirectory, 'control-page-tablet.png'), fullPage: true });

		const reached = new Set();
		await page.focus('body');
		for (let step = 0; step < 40; step++) {
			await page.keyboard.press('Tab');
			reached.add(await page.evaluate(() => document.activeElement.id));
		}
		for (const id of ['start-button', 'quadrant-1-source', 'quadrant-4-name', 'video-bitrate', 'codec', 'srt-host-port',
			'srt-passphrase', 'passphrase-toggle', 'srt-latency', 'srt-reconnect'])
			assert.ok(reached.has(id), `${id} is reachable with the Tab key`);
		await page.setViewportSize(desktop);
	});

	test('no script errors or unexpected console messages', () => {
		assert.deepEqual(consoleProblems, []);
	});
});
