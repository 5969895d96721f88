// Every request the page makes, to the server that served it. Nothing here
// throws for a failed request: each call resolves to
//   { ok: true, ... }                    the server answered as asked
//   { ok: false, reached: true, reason, code, field } the server answered, but refused or failed
//   { ok: false, reached: false, reason } no answer: the server is gone or too slow
// reason being a line for people (the server's own "error" text where it sent one).
const REQUEST_TIMEOUT_MS = 4000;
// A stop waits for the worker to hand on what it holds (up to 2 s, more on a busy machine).
const ACTION_TIMEOUT_MS = 20000;

// The session's CSRF token, which every POST of a logged-in page repeats.
let csrfToken = '';
// Called when the server asks for a login (the session ended).
let onLoginRequired = () => {};

export function useSession(session, loginRequired) {
	csrfToken = session.csrfToken || '';
	onLoginRequired = loginRequired;
}

async function request(path, options = {}, timeoutMs = REQUEST_TIMEOUT_MS) {
	const controller = new AbortController();
	const timer = setTimeout(() => controller.abort(), timeoutMs);
	const headers = { ...(options.headers || {}) };
	if ((options.method === 'POST' || options.method === 'DELETE') && csrfToken)
		headers['X-CSRF-Token'] = csrfToken;
	try {
		const response = await fetch(path, { cache: 'no-store', ...options, headers, signal: controller.signal });
		if (response.status === 401 && path !== '/api/login')
			onLoginRequired();
		return response;
	} finally {
		clearTimeout(timer);
	}
}

function unanswered(error) {
	const reason = error && error.name === 'AbortError' ? 'the server did not answer in time' : 'the server cannot be reached';
	return { ok: false, reached: false, reason };
}

// { status, body, text, response }; body is null when the answer is not JSON.
async function requestJson(path, options, timeoutMs) {
	const response = await request(path, options, timeoutMs);
	const text = await response.text();
	let body = null;
	try {
		body = text ? JSON.parse(text) : null;
	} catch (error) {
		body = null;
	}
	return { status: response.status, body, text, response };
}

// The server's words for a failed answer.
function failureOf(answer) {
	if (answer.body && typeof answer.body.error === 'string')
		return answer.body.error;
	const detail = answer.response.headers.get('EXCEPTION_WHAT');
	if (detail)
		return `HTTP ${answer.status}: ${detail}`;
	return answer.text ? `HTTP ${answer.status}: ${answer.text}` : `HTTP ${answer.status}`;
}

// code and field: what a refused start names besides its words (null if not).
function refused(answer) {
	const given = (key) => (answer.body && typeof answer.body[key] === 'string' ? answer.body[key] : null);
	return { ok: false, reached: true, reason: failureOf(answer), code: given('code'), field: given('field') };
}

// A JSON object from a GET: { ok: true, body }.
async function readObject(path, accepts) {
	try {
		const answer = await requestJson(path);
		if (answer.status !== 200 || !answer.body || typeof answer.body !== 'object' || !accepts(answer.body))
			return refused(answer);
		return { ok: true, body: answer.body };
	} catch (error) {
		return unanswered(error);
	}
}

// Whether the server asks for a login, and as whom this page talks:
// { access, user: null or { name, role } }.
export function readSession() {
	return readObject('/api/session', (body) => typeof body.access === 'boolean');
}

// { ok: true, session } after a login; { ok: false, reason } otherwise.
export async function logIn(name, password) {
	try {
		const answer = await requestJson('/api/login', {
			method: 'POST',
			headers: { 'Content-Type': 'application/json' },
			body: JSON.stringify({ name, password }),
		}, ACTION_TIMEOUT_MS);
		return answer.status === 200 ? { ok: true, session: answer.body } : refused(answer);
	} catch (error) {
		return unanswered(error);
	}
}

export async function logOut() {
	try {
		const answer = await requestJson('/api/logout', { method: 'POST' });
		return answer.status === 200 ? { ok: true } : refused(answer);
	} catch (error) {
		return unanswered(error);
	}
}

// The client configuration: inputs, bitrates, encoders.
export function readConfig() {
	return readObject('/api/config', () => true);
}

// The stream's statistics, events and last end.
export function readStats() {
	return readObject('/api/stream/stats', (body) => typeof body.running === 'boolean');
}

// { ok: true } once the worker is launched.
export async function startStream(startRequest) {
	try {
		const answer = await requestJson('/api/stream/start', {
			method: 'POST',
			headers: { 'Content-Type': 'application/json' },
			body: JSON.stringify(startRequest),
		}, ACTION_TIMEOUT_MS);
		return answer.status === 200 ? { ok: true } : refused(answer);
	} catch (error) {
		return unanswered(error);
	}
}

// { ok: true, wasRunning, message }: wasRunning false when there was nothing to
// stop, message the server's words for that.
export async function stopStream() {
	try {
		const answer = await requestJson('/api/stream/stop', { method: 'POST' }, ACTION_TIMEOUT_MS);
		if (answer.status !== 200)
			return refused(answer);
		const notRunning = answer.body !== null && answer.body.status === 'not_running';
		return { ok: true, wasRunning: !notRunning, message: notRunning ? answer.body.message || '' : '' };
	} catch (error) {
		return unanswered(error);
	}
}

// The recordings on the encoder's disk: { ok: true, body: { recordings } }.
export function readRecordings() {
	return readObject('/api/recordings', (body) => Array.isArray(body.recordings));
}

// { ok: true } once the recording named name is gone.
export async function deleteRecording(name) {
	try {
		const answer = await requestJson(`/api/recordings/${encodeURIComponent(name)}`, { method: 'DELETE' }, ACTION_TIMEOUT_MS);
		return answer.status === 200 ? { ok: true } : refused(answer);
	} catch (error) {
		return unanswered(error);
	}
}

// The latest preview picture: { ok: true, picture } with picture a Blob, or
// { ok: true, picture: null, status } when the server has none (503: none yet).
export async function readPreview() {
	try {
		const response = await request('/api/preview');
		if (response.status !== 200)
			return { ok: true, picture: null, status: response.status };
		return { ok: true, picture: await response.blob(), status: 200 };
	} catch (error) {
		return unanswered(error);
	}
}
