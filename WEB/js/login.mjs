// The login page: sends the name and password, and goes to the control page
// once the server has opened a session (its cookie comes with the answer).
import { logIn } from './api.mjs';

const form = document.getElementById('login-form');
const problem = document.getElementById('login-problem');

form.addEventListener('submit', async (event) => {
	event.preventDefault();
	const button = document.getElementById('login-button');
	button.disabled = true;
	problem.hidden = true;
	const answer = await logIn(document.getElementById('login-name').value, document.getElementById('login-password').value);
	button.disabled = false;
	if (answer.ok) {
		window.location.replace('/');
		return;
	}
	problem.textContent = answer.reason;
	problem.hidden = false;
});
