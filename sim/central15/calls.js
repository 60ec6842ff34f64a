'use strict';
// The central system's side of the charge point's service: calls operations
// of the official charge-point WSDL (npm soap, SOAP 1.2, WS-Addressing 1.0)
// and checks each reply: HTTP 200, the content type's action, RelatesTo the
// request's MessageID, Action "/<Operation>Response", no MessageID, no
// charge-point chargeBoxIdentity, To and From as sent, and the body against
// the WSDL's schema. Prints one JSON line per call.
//
//   node calls.js --url URL [--ca CAFILE] [--identity CB] CALL...
//
// A CALL is JSON: {"op": "Reset", "args": {"type": "Hard"}}.
const crypto = require('crypto');
const fs = require('fs');
const https = require('https');
const path = require('path');
const soap = require('soap');
const { parseXml, readSchema, checkElement, toObject } = require('./schema');

const SOAP12 = 'http://www.w3.org/2003/05/soap-envelope';
const WSA = 'http://www.w3.org/2005/08/addressing';
const CP = 'urn://Ocpp/Cp/2012/06/';
const FROM = 'http://127.0.0.1:9000/ocpp15';

function parseArgs(argv) {
    const o = { url: null, ca: null, identity: 'CB-0001', calls: [],
        wsdl: path.join(__dirname, '../../ocpps/ocpp_chargepointservice_1.5_final.wsdl') };
    for (let i = 2; i < argv.length; ++i) {
        const a = argv[i];
        if (['--url', '--ca', '--identity'].includes(a)) o[a.slice(2)] = argv[++i];
        else o.calls.push(JSON.parse(a));
    }
    if (!o.url) throw new Error('--url is needed');
    return o;
}

function checkReply(schema, op, messageId, to, contentType, xml) {
    const problems = [];
    const action = (/action="([^"]*)"/.exec(contentType || '') || [])[1];
    if (action !== `/${op}Response`) problems.push(`content type action "${action}"`);
    let envelope;
    try {
        envelope = parseXml(xml);
    } catch (e) {
        return { problems: [...problems, e.message] };
    }
    if (envelope.uri !== SOAP12 || envelope.local !== 'Envelope') return { problems: [...problems, 'not a SOAP 1.2 envelope'] };
    const [header] = envelope.children.filter((c) => c.uri === SOAP12 && c.local === 'Header');
    const [body] = envelope.children.filter((c) => c.uri === SOAP12 && c.local === 'Body');
    const fields = {};
    for (const h of header ? header.children : []) {
        if (h.uri === CP && h.local === 'chargeBoxIdentity') problems.push('the reply carries the charge point\'s chargeBoxIdentity');
        if (h.uri === WSA) fields[h.local] = h.local === 'From' || h.local === 'ReplyTo' ? toObject(h) : h.text;
    }
    if (fields.MessageID !== undefined) problems.push('the reply has a MessageID');
    if (fields.RelatesTo !== messageId) problems.push(`RelatesTo "${fields.RelatesTo}" is not ${messageId}`);
    if (fields.Action !== `/${op}Response`) problems.push(`Action "${fields.Action}"`);
    if (fields.To !== to) problems.push(`To "${fields.To}" is not as sent`);
    if (!fields.From || fields.From.Address !== FROM) problems.push('From is not as sent');
    const element = op[0].toLowerCase() + op.slice(1) + 'Response';
    const content = body ? body.children : [];
    let values = null;
    if (content.length !== 1 || content[0].uri !== CP || content[0].local !== element) {
        problems.push(`the body is not one ${element}`);
    } else {
        problems.push(...checkElement(schema, content[0], schema.elements[element], element));
        values = toObject(content[0]);
    }
    return { body: values, problems };
}

async function main() {
    const o = parseArgs(process.argv);
    const wsdlText = fs.readFileSync(o.wsdl, 'utf8');
    const schema = readSchema(wsdlText);
    const client = await soap.createClientAsync(o.wsdl, { forceSoap12Headers: true, endpoint: o.url });
    const agent = o.ca ? new https.Agent({ ca: fs.readFileSync(o.ca), checkServerIdentity: () => undefined }) : undefined;
    let failed = false;
    for (const call of o.calls) {
        const messageId = 'urn:uuid:' + crypto.randomUUID();
        client.clearSoapHeaders();
        client.addSoapHeader(`<cp:chargeBoxIdentity xmlns:cp="${CP}">${o.identity}</cp:chargeBoxIdentity>`);
        client.addSoapHeader(`<wsa:MessageID xmlns:wsa="${WSA}">${messageId}</wsa:MessageID>`);
        client.addSoapHeader(`<wsa:From xmlns:wsa="${WSA}"><wsa:Address>${FROM}</wsa:Address></wsa:From>`);
        client.addSoapHeader(`<wsa:To xmlns:wsa="${WSA}">${o.url}</wsa:To>`);
        client.addSoapHeader(`<wsa:Action xmlns:wsa="${WSA}">/${call.op}</wsa:Action>`);
        let line;
        try {
            const [, raw] = await client[call.op + 'Async'](call.args || {}, agent ? { httpsAgent: agent } : {});
            const headers = client.lastResponseHeaders || {};
            line = { op: call.op, ...checkReply(schema, call.op, messageId, o.url, headers['content-type'], raw) };
        } catch (e) {
            const reason = e.root && e.root.Envelope ? JSON.stringify(e.root.Envelope.Body) : e.message;
            line = { op: call.op, fault: reason, problems: [] };
        }
        if (line.problems.length || line.fault) failed = true;
        console.log(JSON.stringify(line));
    }
    process.exit(failed ? 1 : 0);
}

main().catch((e) => {
    console.log(JSON.stringify({ error: e.message }));
    process.exit(2);
});
