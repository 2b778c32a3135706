// The SendRequest service, for the SOAP code generator (not compiled as C++):
// document/literal, prefix "ns" bound to "urn:service".
//gsoap ns service name: WebServ
//gsoap ns service namespace: urn:service
//gsoap ns service style: document
//gsoap ns service encoding: literal
//gsoap ns schema namespace: urn:service
namespace WebServ {
class xsd__base64Binary {
 public:
  unsigned char *__ptr;
  int __size;
};
class SendRequest {
 public:
  char *Host;
  xsd__base64Binary *Request;
  int ResultSize;
};
//gsoap ns service method-action: SendRequest ""
int ns__SendRequest(SendRequest *request, xsd__base64Binary *result);
}
